// varnel.core.ver100.moraine as native code sees it: the FeatureExtractor object layout and its
// table of internal methods, so that a type compiled against this header can derive from
// FeatureExtractor and reach (or replace) its feature calculation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "varnel/core/base/grapnel.h"

#include <cstdint>

// The features of one packet, as the calculation leaves them.
struct AdvancedFeatures {
    double timestamp;
    uint32_t src_ip;          // IPv4 source, wire order
    uint32_t dst_ip;          // IPv4 destination, wire order
    uint16_t src_port;
    uint16_t dst_port;
    uint8_t protocol_type;    // IPv4 protocol or IPv6 next header
    uint32_t count;           // packets to the same destination, each within 2.0 s of the one before
    uint32_t duration;        // always 0
    uint64_t src_bytes;       // length on the wire
    uint8_t land;
    uint32_t wrong_fragment;
    uint32_t urgent;
};

struct FeatureExtractorObject;

struct FeatureExtractorMethods {
    // Overwrites every field of `feat` from `rec` and counts the packet under its destination.
    // Raises no interpreter exception; throws std::bad_alloc when the host table cannot grow.
    void (*_calculate_kdd)(FeatureExtractorObject* self, const PacketRecord* rec, AdvancedFeatures* feat);
};

class HostTracker;  // the per-destination table; private to the module

struct FeatureExtractorObject {
    PyObject_HEAD
    const FeatureExtractorMethods* methods;
    HostTracker* host_tracker;
};
