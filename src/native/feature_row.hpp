// Where the features of one packet become a feature row.
#pragma once

#include "varnel/core/ver100/moraine.h"

namespace varnel {

// The features of one packet whose destination's count is `count`: one definition for the feature
// rows of FeatureExtractor, of the top-level streams and of the feature columns.
inline AdvancedFeatures features_of(const PacketRecord& rec, uint32_t count) noexcept {
    AdvancedFeatures feat{};
    feat.timestamp = rec.timestamp;
    feat.src_ip = rec.src_ip_v4;
    feat.dst_ip = rec.dst_ip_v4;
    feat.src_port = rec.src_port;
    feat.dst_port = rec.dst_port;
    feat.protocol_type = rec.ip_proto;
    feat.count = count;
    feat.duration = 0;
    feat.src_bytes = rec.frame_length;
    feat.land = static_cast<uint8_t>(rec.land);
    feat.wrong_fragment = static_cast<uint32_t>(rec.wrong_fragment);
    feat.urgent = static_cast<uint32_t>(rec.urgent);
    return feat;
}

// Makes the keys, constants, template and shared ints rows are built from; call once when a
// module loads. False with an exception set.
bool init_feature_rows();

// The row of one packet's features: a new reference, or null with an exception set.
PyObject* feature_row(const AdvancedFeatures& feat);

// The same row with the flow key after the features: `src_ip` and `dst_ip` (stolen; null when
// making them failed) and the IP protocol number.
PyObject* feature_row_with_flow_key(const AdvancedFeatures& feat, PyObject* src_ip, PyObject* dst_ip,
                                    uint8_t ip_proto);

}  // namespace varnel
