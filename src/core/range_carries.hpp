// Counts carried across the byte ranges of one capture read apart. Each range was read on its own
// with a fresh host table that kept its destinations' runs (HostTracker::runs); the count a
// destination reached in the ranges before is added to its leading run in a range where that run
// goes on: its first packet there at most the count window after its last one before.
#pragma once

#include "host_table.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace varnel::range_carries {

// One address family's runs in a range, indexed by node, as HostTracker::FamilyRuns packs them:
// the arrays may lie anywhere in memory (they are read with memcpy).
struct FamilyRuns {
    size_t nodes = 0;
    const uint8_t* keys = nullptr;       // the address per node (IPv4: 4 bytes, IPv6: 16)
    const uint8_t* first = nullptr;      // double per node: the first packet's time stamp
    const uint8_t* last = nullptr;       // double per node: the last packet's time stamp
    const uint8_t* whole = nullptr;      // uint8 per node: the leading run covers the range
    const uint8_t* end_count = nullptr;  // uint32 per node: the count after the last packet
};

// One range's runs; a destination's code in its rows is HostTracker::code_of(family, node).
struct RangeRuns {
    FamilyRuns family[2];
    double lowest = 0;  // the range's lowest and newest time stamps
    double highest = 0;
    bool late_inside = false;  // a time stamp fell far below the newest before it

    size_t codes() const noexcept {
        return ::HostTracker::code_of(0, static_cast<uint32_t>(std::max(family[0].nodes, family[1].nodes)));
    }
};

// Per range, in order, what to add to each destination code's leading run (mod 2^32), an array of
// the range's codes(). False, with `carries` left empty, when the sum cannot be proved equal to one
// host table's: some host might have expired (more than `threshold` destinations in an address
// family, with time stamps falling far enough back for expiry to change a count). Throws
// std::bad_alloc.
bool chain_carries(std::span<const RangeRuns> ranges, size_t threshold, std::vector<std::vector<uint32_t>>* carries);

}  // namespace varnel::range_carries
