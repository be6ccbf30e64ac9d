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

// A shared float for every hundredth: the KDD shape rounds rates to two places, and the rest are
// mostly 0 and 1 all the same.
constexpr int kRateSteps = 100;

// Interned keys and texts, made once at module load; static storage, zero-initialised before.
struct Names {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    PyObject* keys[kColumns];
    PyObject* protocol_types[std::size(connections::kProtocolTypeNames)];
    PyObject* flags[std::size(connections::kFlagNames)];
    PyObject* rates[kRateSteps + 1];  // i / 100.0 at [i]
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

bool make_rates() {
    for (int step = 0; step <= kRateSteps; ++step) {
        names.rates[step] = PyFloat_FromDouble(step / static_cast<double>(kRateSteps));
        if (names.rates[step] == nullptr) return false;
    }
    return true;
}

PyObject* rate(double value) {
    double steps = value * kRateSteps;
    if (steps >= 0 && steps <= kRateSteps) {
        // Not lround, a libm call; any nearby step will do, as only the very same double may
        // share: a rate off the grid gets its own float.
        PyObject* shared = names.rates[static_cast<int>(steps + 0.5)];  // NOLINT(bugprone-incorrect-roundings)
        if (PyFloat_AS_DOUBLE(shared) == value) return Py_NewRef(shared);
    }
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
    return make_rates() && names.shape.init(names.keys);
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
    // The one step that may throw, taken before any value below is owned here.
    PyObject* service_text = service(r.service);
    PyObject* start_time = PyFloat_FromDouble(connections::seconds_of(r.start_us));
    // Most connections of a scan are a single packet: one float serves both times.
    PyObject* end_time = r.end_us == r.start_us ? Py_XNewRef(start_time)
                                                : PyFloat_FromDouble(connections::seconds_of(r.end_us));
    PyObject* const values[] = {
        count(r.duration), Py_NewRef(names.protocol_types[static_cast<size_t>(r.protocol_type)]), service_text,
        Py_NewRef(names.flags[static_cast<size_t>(r.flag)]), count(r.src_bytes), count(r.dst_bytes),
        count(r.land), count(r.wrong_fragment), count(r.urgent), count(r.count), count(r.srv_count),
        rate(r.serror_rate), rate(r.srv_serror_rate), rate(r.rerror_rate), rate(r.srv_rerror_rate),
        rate(r.same_srv_rate), rate(r.diff_srv_rate), rate(r.srv_diff_host_rate), count(r.dst_host_count),
        count(r.dst_host_srv_count), rate(r.dst_host_same_srv_rate), rate(r.dst_host_diff_srv_rate),
        rate(r.dst_host_same_src_port_rate), rate(r.dst_host_srv_diff_host_rate), rate(r.dst_host_serror_rate),
        rate(r.dst_host_srv_serror_rate), rate(r.dst_host_rerror_rate), rate(r.dst_host_srv_rerror_rate),
        start_time, end_time, address(r.ip_version, r.src_ip), count(r.src_port), address(r.ip_version, r.dst_ip),
        count(r.dst_port), count(r.ip_proto), count(r.src_packets), count(r.dst_packets),
    };
    static_assert(std::size(values) == kColumns, "a value for every column, in the columns' order");
    return dict.put_all(names.keys, values) ? dict.release() : nullptr;
}

}  // namespace varnel
