#include "feature_row.hpp"

#include "dict_template.hpp"
#include "int_cache.hpp"
#include "schema.hpp"

#include <array>
#include <span>

namespace varnel {
namespace {

// Interned keys and constant values, made once at module load. The one instance lives in static
// storage, zero-initialised before the module loads.
struct Names {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    PyObject *timestamp, *src_port, *dst_port, *protocol_type, *src_bytes, *land, *wrong_fragment, *count;
    PyObject *src_ip, *dst_ip, *ip_proto;
    PyObject* protocols[schema::kFeatureProtocolNames.size()];
    DictTemplate row;           // every row starts as a copy of it
    DictTemplate flow_key_row;  // or of this one, with the flow key after the features
};
Names names;

PyObject* protocol_name(uint8_t protocol) { return names.protocols[schema::feature_protocol(protocol)]; }

}  // namespace

bool init_feature_rows() {
    const InternedName entries[] = {
        {&names.timestamp, "timestamp"}, {&names.src_port, "src_port"}, {&names.dst_port, "dst_port"},
        {&names.protocol_type, "protocol_type"}, {&names.src_bytes, "src_bytes"}, {&names.land, "land"},
        {&names.wrong_fragment, "wrong_fragment"}, {&names.count, "count"}, {&names.src_ip, "src_ip"},
        {&names.dst_ip, "dst_ip"}, {&names.ip_proto, "ip_proto"},
    };
    if (!intern_all(entries)) return false;
    for (size_t index = 0; index < std::size(names.protocols); ++index) {
        names.protocols[index] = intern(schema::kFeatureProtocolNames[index].data());
        if (names.protocols[index] == nullptr) return false;
    }
    constexpr size_t kFeatureCount = std::size(schema::kFeatureFields);
    std::array<PyObject*, kFeatureCount + std::size(schema::kFlowKeyFields)> keys{};
    size_t filled = 0;
    auto add_keys = [&](std::span<const schema::Field> fields) {
        for (const schema::Field& field : fields) {
            for (const InternedName& entry : entries) {
                if (field.name == entry.text) keys[filled] = *entry.slot;
            }
            if (keys[filled] == nullptr) {
                PyErr_Format(PyExc_SystemError, "no interned key for the feature field %s", field.name.data());
                return false;
            }
            ++filled;
        }
        return true;
    };
    if (!add_keys(schema::kFeatureFields) || !add_keys(schema::kFlowKeyFields)) return false;
    const std::span<PyObject* const> all(keys);
    return names.row.init(all.first(kFeatureCount)) && names.flow_key_row.init(all) && shared_ints().fill();
}

namespace {

bool put_features(DictFill& row, const AdvancedFeatures& feat) {
    const UIntCache& ints = shared_ints();
    return put(row, names.timestamp, PyFloat_FromDouble(feat.timestamp)) &&
           put(row, names.src_port, ints.get(feat.src_port)) && put(row, names.dst_port, ints.get(feat.dst_port)) &&
           put(row, names.protocol_type, Py_NewRef(protocol_name(feat.protocol_type))) &&
           put(row, names.src_bytes, ints.get(feat.src_bytes)) && put(row, names.land, ints.get(feat.land)) &&
           put(row, names.wrong_fragment, ints.get(feat.wrong_fragment)) &&
           put(row, names.count, ints.get(feat.count));
}

}  // namespace

PyObject* feature_row(const AdvancedFeatures& feat) {
    DictFill row(names.row);
    return row && put_features(row, feat) ? row.release() : nullptr;
}

PyObject* feature_row_with_flow_key(const AdvancedFeatures& feat, PyObject* src_ip, PyObject* dst_ip,
                                    uint8_t ip_proto) {
    Ref source = Ref::steal(src_ip);
    Ref destination = Ref::steal(dst_ip);
    if (!source || !destination) return nullptr;
    DictFill row(names.flow_key_row);
    bool filled = row && put_features(row, feat) && put(row, names.src_ip, source.release()) &&
                  put(row, names.dst_ip, destination.release()) &&
                  put(row, names.ip_proto, shared_ints().get(ip_proto));
    return filled ? row.release() : nullptr;
}

}  // namespace varnel
