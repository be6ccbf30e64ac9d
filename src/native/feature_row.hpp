// Where the features of one packet become a feature row.
#pragma once

#include "varnel/core/ver100/moraine.h"

namespace varnel {

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
