#include "range_carries.hpp"

#include <algorithm>
#include <array>
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

    std::pair<Reached*, bool> find_or_add(const RangeRuns& runs, int family, size_t node) noexcept {
        const uint8_t* key = runs.family[family].keys + node * ::HostTracker::kKeyBytes[family];
        if (family == 0) {
            ::HostTracker::Ipv4Key address{};
            std::memcpy(&address, key, sizeof address);
            return ipv4_.find_or_add(address);
        }
        ::HostTracker::Ipv6Key address{};
        std::memcpy(&address, key, sizeof address);
        return ipv6_.find_or_add(address);
    }

private:
    ReachedTable<::HostTracker::Ipv4Key> ipv4_;
    ReachedTable<::HostTracker::Ipv6Key> ipv6_;
};

template <class Value>
Value load(const uint8_t* array, size_t node) noexcept {
    Value value;
    std::memcpy(&value, array + node * sizeof(Value), sizeof(Value));
    return value;
}

// Below this many seconds under the newest time stamp no expired host could still be in its window.
bool may_be_late(std::span<const RangeRuns> ranges) noexcept {
    double newest = -kInfinity;
    for (const RangeRuns& runs : ranges) {
        if (runs.late_inside || newest - runs.lowest > ::HostTracker::kSafeLateness) return true;
        newest = std::max(newest, runs.highest);
    }
    return false;
}

// Per range and family, a flag per node.
using NodeFlags = std::vector<std::array<std::vector<uint8_t>, 2>>;

// The destinations of each family that `wanted` flags, over all ranges (all of them without
// flags); with `distinct`, each destination once however many ranges have it.
std::pair<size_t, size_t> per_family(std::span<const RangeRuns> ranges, const NodeFlags* wanted,
                                     Destinations* distinct = nullptr) {
    size_t counts[2] = {0, 0};
    for (size_t index = 0; index < ranges.size(); ++index) {
        for (int family = 0; family < 2; ++family) {
            for (size_t node = 0; node < ranges[index].family[family].nodes; ++node) {
                if (wanted && (*wanted)[index][family][node] == 0) continue;
                if (distinct && !distinct->find_or_add(ranges[index], family, node).second) continue;
                ++counts[family];
            }
        }
    }
    return {counts[0], counts[1]};
}

// Expiry changes no count when each address family has at most `threshold` destinations.
bool few_destinations(std::span<const RangeRuns> ranges, size_t threshold) {
    auto [ipv4_nodes, ipv6_nodes] = per_family(ranges, nullptr);
    if (ipv4_nodes <= threshold && ipv6_nodes <= threshold) return true;
    Destinations seen(ipv4_nodes, ipv6_nodes);
    auto [ipv4, ipv6] = per_family(ranges, nullptr, &seen);
    return ipv4 <= threshold && ipv6 <= threshold;
}

// Per range, the destinations that may take a count from the ranges before (a packet at most the
// window after their newest time stamp) or give one to those after (its last packet at most the
// window before their lowest). Any other destination changes no carry: it takes nothing, nor does
// what an earlier range left of it, which lies further back still, reach a later range. The earlier
// of its first and last packet counts: in a capture out of time order the last may come first.
NodeFlags at_the_seams(std::span<const RangeRuns> ranges) {
    std::vector<double> lowest_after(ranges.size(), kInfinity);
    for (size_t index = ranges.size(); index-- > 1;) {
        lowest_after[index - 1] = std::min(lowest_after[index], ranges[index].lowest);
    }
    NodeFlags seams(ranges.size());
    double newest_before = -kInfinity;
    for (size_t index = 0; index < ranges.size(); ++index) {
        for (int family = 0; family < 2; ++family) {
            const FamilyRuns& runs = ranges[index].family[family];
            std::vector<uint8_t>& flags = seams[index][family];
            flags.resize(runs.nodes);
            for (size_t node = 0; node < runs.nodes; ++node) {
                const double first = load<double>(runs.first, node), last = load<double>(runs.last, node);
                flags[node] = std::min(first, last) - newest_before <= kWindow || lowest_after[index] - last <= kWindow;
            }
        }
        newest_before = std::max(newest_before, ranges[index].highest);
    }
    return seams;
}

}  // namespace

bool chain_carries(std::span<const RangeRuns> ranges, size_t threshold, std::vector<std::vector<uint32_t>>* carries) {
    carries->clear();
    if (may_be_late(ranges) && !few_destinations(ranges, threshold)) return false;
    const NodeFlags seams = at_the_seams(ranges);
    auto [ipv4, ipv6] = per_family(ranges, &seams);
    Destinations reached(ipv4, ipv6);
    carries->resize(ranges.size());
    for (size_t index = 0; index < ranges.size(); ++index) {
        std::vector<uint32_t>& carry = (*carries)[index];
        carry.assign(ranges[index].codes(), 0);
        for (int family = 0; family < 2; ++family) {
            const FamilyRuns& runs = ranges[index].family[family];
            for (size_t node = 0; node < runs.nodes; ++node) {
                if (seams[index][family][node] == 0) continue;
                auto [before, fresh] = reached.find_or_add(ranges[index], family, node);
                const bool goes_on = !fresh && load<double>(runs.first, node) - before->last_seen <= kWindow;
                const uint32_t add = goes_on ? before->count : 0;
                const uint32_t end = load<uint32_t>(runs.end_count, node);
                before->last_seen = load<double>(runs.last, node);
                // uint32 additions wrap at 2^32, as the counts do.
                before->count = runs.whole[node] != 0 ? end + add : end;
                carry[::HostTracker::code_of(family, static_cast<uint32_t>(node))] = add;
            }
        }
    }
    return true;
}

}  // namespace varnel::range_carries
