#include "range_carries.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

namespace varnel::range_carries {
namespace {

constexpr double kWindow = host_table::kCountWindow;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// What the ranges so far left of one destination.
struct Reached {
    double last_seen = 0;
    uint32_t count = 0;
};

// Destinations of one address family, open addressing sized once for all it will hold: a few
// thousand near the cuts of each range, so no node is allocated per destination.
template <class Key>
class ReachedTable {
public:
    explicit ReachedTable(size_t most) : slots_(std::bit_ceil(std::max<size_t>(2 * most, 16))) {}

    // The destination's entry, and whether it was made by this call.
    std::pair<Reached*, bool> find_or_add(const Key& key) noexcept {
        const size_t mask = slots_.size() - 1;
        for (size_t slot = host_table::hash_of(key) & mask;; slot = (slot + 1) & mask) {
            Slot& at = slots_[slot];
            if (!at.used) {
                at = Slot{key, Reached{}, true};
                return {&at.reached, true};
            }
            if (at.key == key) return {&at.reached, false};
        }
    }

private:
    struct Slot {
        Key key{};
        Reached reached;
        bool used = false;
    };
    std::vector<Slot> slots_;
};

// Both families' tables, for at most `ipv4` and `ipv6` destinations.
class Destinations {
public:
    Destinations(size_t ipv4, size_t ipv6) : ipv4_(ipv4), ipv6_(ipv6) {}

    std::pair<Reached*, bool> find_or_add(const RangeRuns& runs, size_t code) noexcept {
        const uint8_t* key = runs.keys + code * RangeRuns::kKeyBytes;
        if (key[0] == 4) {
            uint32_t address = 0;
            std::memcpy(&address, key + 1, 4);
            return ipv4_.find_or_add(address);
        }
        host_table::Ipv6Address address{};
        std::memcpy(&address.high, key + 1, 8);
        std::memcpy(&address.low, key + 9, 8);
        return ipv6_.find_or_add(address);
    }

private:
    ReachedTable<uint32_t> ipv4_;
    ReachedTable<host_table::Ipv6Address> ipv6_;
};

template <class Value>
Value load(const uint8_t* array, size_t code) noexcept {
    Value value;
    std::memcpy(&value, array + code * sizeof(Value), sizeof(Value));
    return value;
}

// The IP version of a code's destination; 0 for a code no destination has.
uint8_t version_of(const RangeRuns& runs, size_t code) noexcept { return runs.keys[code * RangeRuns::kKeyBytes]; }

// Below this many seconds under the newest time stamp no expired host could still be in its window.
bool may_be_late(std::span<const RangeRuns> ranges) noexcept {
    double newest = -kInfinity;
    for (const RangeRuns& runs : ranges) {
        if (runs.late_inside || newest - runs.lowest > ::HostTracker::kSafeLateness) return true;
        newest = std::max(newest, runs.highest);
    }
    return false;
}

// The codes of each family that `wanted(range, code)` picks, over all ranges; with `distinct`,
// each destination once however many ranges have it.
template <class Wanted>
std::pair<size_t, size_t> codes_per_family(std::span<const RangeRuns> ranges, Wanted wanted,
                                           Destinations* distinct = nullptr) {
    size_t ipv4 = 0, ipv6 = 0;
    for (size_t index = 0; index < ranges.size(); ++index) {
        for (size_t code = 0; code < ranges[index].codes; ++code) {
            if (!wanted(index, code) || (distinct && !distinct->find_or_add(ranges[index], code).second)) continue;
            ++(version_of(ranges[index], code) == 4 ? ipv4 : ipv6);
        }
    }
    return {ipv4, ipv6};
}

// Expiry changes no count when each address family has at most `threshold` destinations.
bool few_destinations(std::span<const RangeRuns> ranges, size_t threshold) {
    const auto has_destination = [&](size_t index, size_t code) { return version_of(ranges[index], code) != 0; };
    auto [ipv4_codes, ipv6_codes] = codes_per_family(ranges, has_destination);
    if (ipv4_codes <= threshold && ipv6_codes <= threshold) return true;
    Destinations seen(ipv4_codes, ipv6_codes);
    auto [ipv4, ipv6] = codes_per_family(ranges, has_destination, &seen);
    return ipv4 <= threshold && ipv6 <= threshold;
}

// Per range, the codes whose destination may take a count from the ranges before (a packet at
// most the window after their newest time stamp) or give one to those after (its last packet at
// most the window before their lowest). Any other destination changes no carry: it takes nothing,
// nor does what an earlier range left of it, which lies further back still, reach a later range.
// The earlier of its first and last packet counts: in a capture out of time order the last may
// come first.
std::vector<std::vector<uint8_t>> at_the_seams(std::span<const RangeRuns> ranges) {
    std::vector<double> lowest_after(ranges.size(), kInfinity);
    for (size_t index = ranges.size(); index-- > 1;) {
        lowest_after[index - 1] = std::min(lowest_after[index], ranges[index].lowest);
    }
    std::vector<std::vector<uint8_t>> seams(ranges.size());
    double newest_before = -kInfinity;
    for (size_t index = 0; index < ranges.size(); ++index) {
        const RangeRuns& runs = ranges[index];
        seams[index].resize(runs.codes);
        for (size_t code = 0; code < runs.codes; ++code) {
            const double first = load<double>(runs.first, code), last = load<double>(runs.last, code);
            seams[index][code] = version_of(runs, code) != 0 && (std::min(first, last) - newest_before <= kWindow ||
                                                                 lowest_after[index] - last <= kWindow);
        }
        newest_before = std::max(newest_before, runs.highest);
    }
    return seams;
}

}  // namespace

bool chain_carries(std::span<const RangeRuns> ranges, size_t threshold, std::vector<std::vector<uint32_t>>* carries) {
    carries->clear();
    if (may_be_late(ranges) && !few_destinations(ranges, threshold)) return false;
    const std::vector<std::vector<uint8_t>> seams = at_the_seams(ranges);
    auto [ipv4, ipv6] = codes_per_family(ranges, [&](size_t index, size_t code) { return seams[index][code] != 0; });
    Destinations reached(ipv4, ipv6);
    carries->resize(ranges.size());
    for (size_t index = 0; index < ranges.size(); ++index) {
        const RangeRuns& runs = ranges[index];
        std::vector<uint32_t>& carry = (*carries)[index];
        carry.assign(runs.codes, 0);
        for (size_t code = 0; code < runs.codes; ++code) {
            if (seams[index][code] == 0) continue;
            auto [before, fresh] = reached.find_or_add(runs, code);
            const bool goes_on = !fresh && load<double>(runs.first, code) - before->last_seen <= kWindow;
            const uint32_t add = goes_on ? before->count : 0;
            const uint32_t end = load<uint32_t>(runs.end_count, code);
            before->last_seen = load<double>(runs.last, code);
            // uint32 additions wrap at 2^32, as the counts do.
            before->count = runs.whole[code] != 0 ? end + add : end;
            carry[code] = add;
        }
    }
    return true;
}

}  // namespace varnel::range_carries
