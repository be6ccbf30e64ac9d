// The host table: the per-destination packet count behind the `count` feature, IPv4 and IPv6
// hosts apart, kept bounded in long captures by dropping hosts whose window has long closed.
// Plain C++, so that any native module can count packets the same way.
#pragma once

#include "probe_run.hpp"
#include "varnel/core/base/grapnel.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace host_table {

// A packet adds to its destination's count when it comes at most this long after the previous
// packet to that destination (a negative gap, a time stamp stepping back, counts as inside).
constexpr double kCountWindow = 2.0;
// A host whose last packet is more than this older than the newest time stamp seen is stale: no
// later packet can fall inside its window unless time stamps step back by more than the margin.
constexpr double kExpiryAge = kCountWindow + 60.0;
// Stale hosts are dropped only while a family's table holds more hosts than this, so that below
// it the counts are those of a table that never forgets, whatever the time stamps do.
constexpr size_t kExpiryThreshold = 65536;

// The threshold in force, lowered by tests only. One per module, like the seed below.
inline size_t expiry_threshold = kExpiryThreshold;

// cppcheck does not see these used through the table template below.
struct HostState {
    uint32_t connection_count;  // cppcheck-suppress unusedStructMember
    double last_seen_time;      // cppcheck-suppress unusedStructMember
};

// What a table keeping runs knows of one host besides its state: when it was first seen, and
// whether its count has started again at 1 since.
struct Run {
    double first_seen;  // cppcheck-suppress unusedStructMember
    bool restarted;     // cppcheck-suppress unusedStructMember
};

struct Ipv6Address {
    uint64_t high, low;  // the address's bytes as they stand, in two halves
    bool operator==(const Ipv6Address&) const = default;
};
static_assert(sizeof(Ipv6Address) == 16);

// Drawn when the module loads, so that nobody can choose addresses that all land in one slot.
// One per extension module (its symbols are hidden), shared by the sources it is built from.
inline uint64_t hash_seed = 0x9E3779B97F4A7C15ull;

// Each module that counts hosts draws its own seed when it loads.
inline void seed_hash() {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
        seed = static_cast<uint64_t>(std::time(nullptr)) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(getpid());
    }
    hash_seed = seed;
}

inline uint64_t mix(uint64_t value) {
    value ^= value >> 33;
    value *= 0xFF51AFD7ED558CCDull;
    value ^= value >> 33;
    value *= 0xC4CEB9FE1A85EC53ull;
    value ^= value >> 33;
    return value;
}
inline uint32_t hash_of(uint32_t address) { return static_cast<uint32_t>(mix(address ^ hash_seed)); }
inline uint32_t hash_of(const Ipv6Address& address) {
    return static_cast<uint32_t>(mix(mix(address.high ^ hash_seed) ^ address.low));
}

// Hosts of one address family: open addressing with linear probing over a pool of nodes.
// Deletion shifts the probe run back instead of leaving tombstones, since a live table deletes
// as often as it inserts.
//
// The nodes are also on two lists in the order they were last counted, the stalest at one end.
// Hosts counted on time are on the first: with time stamps in order that is the order of their
// last packets, so the stale hosts gather at its old end. A packet stamped more than kExpiryAge
// below the newest time stamp comes late, and leaves its host stale from the start; it stays so
// until its next packet, since the newest time stamp never goes back. Such hosts go on the second
// list, every one of them droppable: on the first they would wait behind hosts still in their
// window, and a capture merged from files out of order would keep every host it meets.
template <class Key>
class HostTable {
public:
    size_t size() const noexcept { return size_; }

    // Keeps each host's run from now on, for a table that starts empty; such a table never drops a
    // host, so a host's node index stays its own for the table's life.
    void keep_runs() noexcept { keep_runs_ = true; }
    // The node of the host the last packet was counted for.
    uint32_t last_node() const noexcept { return last_node_; }
    Run run(uint32_t node) const noexcept { return Run{first_seen_[node], nodes_[node].restarted}; }
    // Whether the host's count has started again at 1 since it was first seen (runs kept).
    bool restarted(uint32_t node) const noexcept { return nodes_[node].restarted; }
    // Every node ever made, in order: with runs kept, one per host seen.
    size_t node_count() const noexcept { return nodes_.size(); }
    const Key& key(uint32_t node) const noexcept { return nodes_[node].key; }
    const HostState& state(uint32_t node) const noexcept { return nodes_[node].state; }

    // Counts one packet to `key` at `timestamp`, `newest_time` being the newest time stamp seen
    // with this one, and returns the host's count after it. Throws std::bad_alloc, before
    // changing anything, when the table cannot grow.
    uint32_t count_packet(const Key& key, double timestamp, double newest_time) {
        Recency list = newest_time - timestamp > kExpiryAge ? kLate : kOnTime;
        uint32_t hash = hash_of(key);
        if (size_ > 0) {
            uint32_t index = slots_[find(key, hash)].node;
            if (index != kNone) return count_again(index, timestamp, list);
        }
        last_node_ = insert(key, hash, timestamp, list);
        return 1;
    }

    // While the table holds more than `threshold` hosts, drops stale ones: the least recently
    // counted host on time for as long as it is stale, then hosts whose last packet came late,
    // least recently counted first. Each host dropped was inserted once, so the cost per packet
    // stays constant on average.
    void expire(double newest_time, size_t threshold) noexcept {
        if (keep_runs_) return;
        const List& on_time = lists_[kOnTime];
        while (size_ > threshold && on_time.oldest != kNone &&
               newest_time - nodes_[on_time.oldest].state.last_seen_time > kExpiryAge) {
            erase(on_time.oldest);
        }
        const List& late = lists_[kLate];
        while (size_ > threshold && late.oldest != kNone) erase(late.oldest);
    }

    // Empties the table and gives its storage back.
    void clear() noexcept {
        std::vector<Node>().swap(nodes_);
        std::vector<Slot>().swap(slots_);
        std::vector<double>().swap(first_seen_);
        lists_ = {};
        free_ = kNone;
        size_ = 0;
    }

private:
    static constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
    static constexpr size_t kMinSlots = 64;

    enum Recency : uint8_t { kOnTime, kLate };  // which list a host is on

    struct List {
        uint32_t newest = kNone, oldest = kNone;
    };
    struct Node {
        Key key;
        uint32_t newer, older;  // list neighbours; `older` also chains free nodes
        Recency list;
        bool restarted;  // the count started again at 1 since the host was inserted
        HostState state;
    };
    struct Slot {
        uint32_t node;  // kNone when empty
        uint32_t hash;
    };

    size_t mask() const noexcept { return slots_.size() - 1; }

    // The slot holding `key`, or the empty slot that ends its probe run.
    size_t find(const Key& key, uint32_t hash) const noexcept {
        size_t slot = hash & mask();
        while (slots_[slot].node != kNone) {
            if (slots_[slot].hash == hash && nodes_[slots_[slot].node].key == key) return slot;
            slot = (slot + 1) & mask();
        }
        return slot;
    }

    uint32_t count_again(uint32_t index, double timestamp, Recency list) noexcept {
        HostState& host = nodes_[index].state;
        bool in_window = timestamp - host.last_seen_time <= kCountWindow;
        last_node_ = index;
        // Beside the state it reads anyway, so that keeping runs costs a packet no other access.
        if (!in_window) nodes_[index].restarted = true;
        host.connection_count = in_window ? host.connection_count + 1 : 1;  // wraps at 2^32
        host.last_seen_time = timestamp;
        unlink(index);
        link_newest(index, list);
        return host.connection_count;
    }

    uint32_t insert(const Key& key, uint32_t hash, double timestamp, Recency list) {
        // The steps that can throw come first and each leaves the table whole.
        if ((size_ + 1) * 4 > slots_.size() * 3) rehash(std::max(kMinSlots, slots_.size() * 2));
        if (keep_runs_ && first_seen_.size() == first_seen_.capacity()) {
            first_seen_.reserve(std::max<size_t>(64, first_seen_.size() * 2));
        }
        uint32_t index = new_node();
        if (keep_runs_) first_seen_.push_back(timestamp);  // no node is ever freed: first_seen_ follows nodes_
        nodes_[index] = Node{key, kNone, kNone, list, false, HostState{1, timestamp}};
        slots_[find(key, hash)] = Slot{index, hash};
        link_newest(index, list);
        ++size_;
        return index;
    }

    uint32_t new_node() {
        if (free_ != kNone) {
            uint32_t index = free_;
            free_ = nodes_[index].older;
            return index;
        }
        if (nodes_.size() >= kNone) throw std::bad_alloc();
        nodes_.emplace_back();
        return static_cast<uint32_t>(nodes_.size() - 1);
    }

    void rehash(size_t slot_count) {
        std::vector<Slot> previous(slot_count, Slot{kNone, 0});
        previous.swap(slots_);
        for (const Slot& entry : previous) {
            if (entry.node == kNone) continue;
            size_t slot = entry.hash & mask();
            while (slots_[slot].node != kNone) slot = (slot + 1) & mask();
            slots_[slot] = entry;
        }
    }

    void erase(uint32_t index) noexcept {
        size_t slot = hash_of(nodes_[index].key) & mask();
        while (slots_[slot].node != index) slot = (slot + 1) & mask();
        varnel::close_gap(
            slots_, slot, [](const Slot& taken) { return taken.node != kNone; },
            [](const Slot& taken) { return taken.hash; }, [](Slot& emptied) { emptied.node = kNone; });
        unlink(index);
        nodes_[index].older = free_;
        free_ = index;
        --size_;
    }

    void unlink(uint32_t index) noexcept {
        const Node& node = nodes_[index];
        List& list = lists_[node.list];
        (node.newer != kNone ? nodes_[node.newer].older : list.newest) = node.older;
        (node.older != kNone ? nodes_[node.older].newer : list.oldest) = node.newer;
    }

    void link_newest(uint32_t index, Recency which) noexcept {
        Node& node = nodes_[index];
        List& list = lists_[which];
        node.list = which;
        node.newer = kNone;
        node.older = list.newest;
        (list.newest != kNone ? nodes_[list.newest].newer : list.oldest) = index;
        list.newest = index;
    }

    std::vector<Node> nodes_;
    std::vector<Slot> slots_;
    std::array<List, 2> lists_{};
    uint32_t free_ = kNone;
    size_t size_ = 0;
    uint32_t last_node_ = kNone;
    bool keep_runs_ = false;
    std::vector<double> first_seen_;  // with runs kept: one per node
};

}  // namespace host_table

// Destinations counted so far: IPv4 and IPv6 hosts in key spaces of their own, each table
// bounded on its own threshold against the newest time stamp either has seen.
class HostTracker {
public:
    using Ipv4Key = uint32_t;
    using Ipv6Key = host_table::Ipv6Address;

    // Returns the destination's count after `rec`. Throws std::bad_alloc when a new host cannot
    // be stored.
    uint32_t count_packet(const PacketRecord& rec) {
        late_inside_ = late_inside_ || newest_time_ - rec.timestamp > kSafeLateness;
        lowest_time_ = std::min(lowest_time_, rec.timestamp);
        newest_time_ = std::max(newest_time_, rec.timestamp);
        last_family_ = rec.ip_version == 6 ? 1 : 0;
        uint32_t count = count_destination(rec);
        ipv4_.expire(newest_time_, host_table::expiry_threshold);
        ipv6_.expire(newest_time_, host_table::expiry_threshold);
        return count;
    }

    size_t size() const noexcept { return ipv4_.size() + ipv6_.size(); }

    void clear() noexcept {
        ipv4_.clear();
        ipv6_.clear();
        newest_time_ = -std::numeric_limits<double>::infinity();
        lowest_time_ = std::numeric_limits<double>::infinity();
        late_inside_ = false;
    }

    // ---- Runs, for carrying counts across byte ranges of a capture read apart. A tracker keeping
    // them never drops a host (whether that changes a count is for whoever carries to decide,
    // from the lateness and the number of hosts), and gives each destination a code: its node in
    // its family's table, the family in the lowest bit.

    // A time stamp this far below the newest can fall in no window of a host the table dropped.
    static constexpr double kSafeLateness = host_table::kExpiryAge - host_table::kCountWindow - 1.0;

    void keep_runs() noexcept {
        ipv4_.keep_runs();
        ipv6_.keep_runs();
    }
    // A destination's code, from its family (IPv4 0, IPv6 1) and its node in that family's table.
    static constexpr uint32_t code_of(int family, uint32_t node) noexcept {
        return node * 2 + static_cast<uint32_t>(family);
    }
    // The bytes of a destination's key, by family, as FamilyRuns packs them.
    static constexpr size_t kKeyBytes[2] = {sizeof(Ipv4Key), sizeof(Ipv6Key)};

    // Where the last packet is in its destination's leading run (its packets up to the first time
    // the count started again at 1), the destination's code plus one; 0 elsewhere.
    uint32_t leading_code() const noexcept {
        if (last_family_ == 0) return ipv4_.restarted(ipv4_.last_node()) ? 0 : code_of(0, ipv4_.last_node()) + 1;
        return ipv6_.restarted(ipv6_.last_node()) ? 0 : code_of(1, ipv6_.last_node()) + 1;
    }

    // Each destination's run, in arrays of its family indexed by its node (see code_of): ready to
    // hand over as they are.
    struct FamilyRuns {
        std::string keys;  // per node: the address as the table keys it (kKeyBytes)
        std::vector<double> first, last;
        std::vector<uint8_t> whole;  // the leading run covers every packet to it
        std::vector<uint32_t> end_count;
    };
    struct DestinationRuns {
        FamilyRuns ipv4, ipv6;
    };
    DestinationRuns runs() const { return {family_runs(ipv4_), family_runs(ipv6_)}; }
    double lowest_time() const noexcept { return lowest_time_; }
    double newest_time() const noexcept { return newest_time_; }
    // A time stamp fell more than kSafeLateness below the newest before it.
    bool late_inside() const noexcept { return late_inside_; }

private:
    template <class Key>
    static FamilyRuns family_runs(const host_table::HostTable<Key>& table) {
        const size_t nodes = table.node_count();
        FamilyRuns out;
        out.keys.resize(nodes * sizeof(Key));
        out.first.resize(nodes);
        out.last.resize(nodes);
        out.whole.resize(nodes);
        out.end_count.resize(nodes);
        for (uint32_t node = 0; node < nodes; ++node) {
            std::memcpy(out.keys.data() + size_t{node} * sizeof(Key), &table.key(node), sizeof(Key));
            const host_table::Run run = table.run(node);
            const host_table::HostState& state = table.state(node);
            out.first[node] = run.first_seen;
            out.last[node] = state.last_seen_time;
            out.end_count[node] = state.connection_count;
            out.whole[node] = run.restarted ? 0 : 1;
        }
        return out;
    }

    uint32_t count_destination(const PacketRecord& rec) {
        if (rec.ip_version == 6) {
            host_table::Ipv6Address destination{};
            std::memcpy(&destination.high, rec.dst_ip_v6, 8);
            std::memcpy(&destination.low, rec.dst_ip_v6 + 8, 8);
            return ipv6_.count_packet(destination, rec.timestamp, newest_time_);
        }
        return ipv4_.count_packet(rec.dst_ip_v4, rec.timestamp, newest_time_);
    }

    host_table::HostTable<Ipv4Key> ipv4_;
    host_table::HostTable<Ipv6Key> ipv6_;
    double newest_time_ = -std::numeric_limits<double>::infinity();
    double lowest_time_ = std::numeric_limits<double>::infinity();
    bool late_inside_ = false;
    uint8_t last_family_ = 0;  // 1 for IPv6
};
