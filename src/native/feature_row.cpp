#include "feature_row.hpp"

#include "dict_template.hpp"
#include "int_cache.hpp"
#include "schema.hpp"

#include <array>

namespace varnel {
namespace {

// Interned keys and constant values, made once at module load. The one instance lives in static
// storage, zero-initialised before the module loads.
struct Names {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    PyObject *timestamp, *src_port, *dst_port, *protocol_type, *src_bytes, *land, *wrong_fragment, *count;
    PyObject *tcp, *udp, *icmp;
    DictTemplate row;  // every row starts as a copy of it
};
Names names;

PyObject* protocol_name(uint8_t protocol) {
    switch (protocol) {
        case packet_decoding::kProtoTCP: return names.tcp;
        case packet_decoding::kProtoUDP: return names.udp;
        default: return names.icmp;  // ICMPv6, 0 and every other number alike
    }
}

}  // namespace

bool init_feature_rows() {
    const InternedName entries[] = {
        {&names.timestamp, "timestamp"}, {&names.src_port, "src_port"}, {&names.dst_port, "dst_port"},
        {&names.protocol_type, "protocol_type"}, {&names.src_bytes, "src_bytes"}, {&names.land, "land"},
        {&names.wrong_fragment, "wrong_fragment"}, {&names.count, "count"}, {&names.tcp, "TCP"},
        {&names.udp, "UDP"}, {&names.icmp, "ICMP"},
    };
    if (!intern_all(entries)) return false;
    std::array<PyObject*, std::size(schema::kFeatureFields)> keys{};
    for (size_t i = 0; i < keys.size(); ++i) {
        const std::string_view name = schema::kFeatureFields[i].name;
        for (const InternedName& entry : entries) {
            if (name == entry.text) keys[i] = *entry.slot;
        }
        if (keys[i] == nullptr) {
            PyErr_Format(PyExc_SystemError, "no interned key for the feature field %s", name.data());
            return false;
        }
    }
    return names.row.init(keys) && shared_ints().fill();
}

PyObject* feature_row(const AdvancedFeatures& feat) {
    DictFill row(names.row);
    if (!row) return nullptr;
    const UIntCache& ints = shared_ints();
    bool filled = put(row, names.timestamp, PyFloat_FromDouble(feat.timestamp)) &&
                  put(row, names.src_port, ints.get(feat.src_port)) &&
                  put(row, names.dst_port, ints.get(feat.dst_port)) &&
                  put(row, names.protocol_type, Py_NewRef(protocol_name(feat.protocol_type))) &&
                  put(row, names.src_bytes, ints.get(feat.src_bytes)) &&
                  put(row, names.land, ints.get(feat.land)) &&
                  put(row, names.wrong_fragment, ints.get(feat.wrong_fragment)) &&
                  put(row, names.count, ints.get(feat.count));
    return filled ? row.release() : nullptr;
}

}  // namespace varnel
