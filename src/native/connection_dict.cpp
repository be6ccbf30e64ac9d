#include "connection_dict.hpp"

#include "dict_template.hpp"
#include "int_cache.hpp"
#include "schema.hpp"

#include <cstring>
#include <iterator>

namespace varnel {
namespace {

using connections::ConnectionRecord;

constexpr size_t kColumns = std::size(schema::kConnectionFields);

// Interned keys and texts, made once at module load; static storage, zero-initialised before.
struct Names {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    PyObject* keys[kColumns];
    PyObject* protocol_types[std::size(connections::kProtocolTypeNames)];
    PyObject* flags[std::size(connections::kFlagNames)];
    PyObject* zero;  // 0.0 and 1.0: most rates are one or the other
    PyObject* one;
    DictTemplate shape;
};
Names names;

bool intern_texts(std::span<const std::string_view> texts, PyObject** slots) {
    for (size_t i = 0; i < texts.size(); ++i) {
        slots[i] = PyUnicode_InternFromString(std::string(texts[i]).c_str());
        if (slots[i] == nullptr) return false;
    }
    return true;
}

PyObject* rate(double value) {
    if (value == 0.0) return Py_NewRef(names.zero);
    if (value == 1.0) return Py_NewRef(names.one);
    return PyFloat_FromDouble(value);
}

PyObject* count(uint64_t value) { return shared_ints().get(value); }

}  // namespace

bool init_connection_dicts() {
    std::string_view keys[kColumns];
    for (size_t i = 0; i < kColumns; ++i) keys[i] = schema::kConnectionFields[i].name;
    if (!intern_texts(keys, names.keys) || !intern_texts(connections::kProtocolTypeNames, names.protocol_types) ||
        !intern_texts(connections::kFlagNames, names.flags)) {
        return false;
    }
    names.zero = PyFloat_FromDouble(0.0);
    names.one = PyFloat_FromDouble(1.0);
    return names.zero != nullptr && names.one != nullptr && names.shape.init(names.keys);
}

PyObject* ConnectionDicts::service(connections::ServiceId id) {
    if (service_texts_.size() <= id) service_texts_.resize(service_names_.size());
    Ref& text = service_texts_[id];
    if (!text) {
        const std::string& name = service_names_[id];
        text = Ref::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!text) return nullptr;
    }
    return Py_NewRef(text.get());
}

PyObject* ConnectionDicts::address(uint8_t ip_version, const connections::Address& address) {
    if (ip_version == 6) return texts_->address_v6(address.data());
    uint32_t wire_order = 0;
    std::memcpy(&wire_order, address.data(), sizeof wire_order);
    return texts_->address_v4(wire_order);
}

PyObject* ConnectionDicts::operator()(const ConnectionRecord& r) {
    DictFill dict(names.shape);
    if (!dict) return nullptr;
    PyObject* const* key = names.keys;
    size_t k = 0;
    auto put = [&](PyObject* value) { return dict.put(key[k++], value); };
    const bool filled =
        put(count(r.duration)) && put(Py_NewRef(names.protocol_types[static_cast<size_t>(r.protocol_type)])) &&
        put(service(r.service)) && put(Py_NewRef(names.flags[static_cast<size_t>(r.flag)])) &&
        put(PyLong_FromUnsignedLongLong(r.src_bytes)) && put(PyLong_FromUnsignedLongLong(r.dst_bytes)) &&
        put(count(r.land)) && put(count(r.wrong_fragment)) && put(count(r.urgent)) && put(count(r.count)) &&
        put(count(r.srv_count)) && put(rate(r.serror_rate)) && put(rate(r.srv_serror_rate)) &&
        put(rate(r.rerror_rate)) && put(rate(r.srv_rerror_rate)) && put(rate(r.same_srv_rate)) &&
        put(rate(r.diff_srv_rate)) && put(rate(r.srv_diff_host_rate)) && put(count(r.dst_host_count)) &&
        put(count(r.dst_host_srv_count)) && put(rate(r.dst_host_same_srv_rate)) &&
        put(rate(r.dst_host_diff_srv_rate)) && put(rate(r.dst_host_same_src_port_rate)) &&
        put(rate(r.dst_host_srv_diff_host_rate)) && put(rate(r.dst_host_serror_rate)) &&
        put(rate(r.dst_host_srv_serror_rate)) && put(rate(r.dst_host_rerror_rate)) &&
        put(rate(r.dst_host_srv_rerror_rate)) && put(PyFloat_FromDouble(connections::seconds_of(r.start_us))) &&
        put(PyFloat_FromDouble(connections::seconds_of(r.end_us))) && put(address(r.ip_version, r.src_ip)) &&
        put(count(r.src_port)) && put(address(r.ip_version, r.dst_ip)) && put(count(r.dst_port)) &&
        put(count(r.ip_proto)) && put(count(r.src_packets)) && put(count(r.dst_packets));
    return filled ? dict.release() : nullptr;
}

}  // namespace varnel
