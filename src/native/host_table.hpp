// The table of destination hosts the feature rows count packets in: per-destination counts within
// a sliding window, bounded by expiry. No interpreter object is touched, so a column reader may
// count with the interpreter lock released.
#pragma once

#include "varnel/core/base/grapnel.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>
#include <vector>

namespace host_table {

// A packet adds to its destination's count when it comes at most this long after the previous
// packet to that destination (a negative gap, a time stamp stepping back, counts as inside).
constexpr double kCountWindow = 2.0;
// Once a host's last packet is this much older than the newest time stamp seen, no later packet
// can fall inside its window unless time stamps step back by more than the margin: it is dropped.
constexpr double kExpiryAge = kCountWindow + 60.0;

// cppcheck does not see these used through the table template below.
struct HostState {
    uint32_t connection_count;  // cppcheck-suppress unusedStructMember
    double last_seen_time;      // cppcheck-suppress unusedStructMember
};

struct Ipv6Address {
    uint64_t high, low;
    bool operator==(const Ipv6Address&) const = default;
};

// Drawn when the module loads, so that nobody can choose addresses that all land in one slot.
inline uint64_t hash_seed = 0x9E3779B97F4A7C15ull;

// Each module that counts hosts draws its own seed when it loads.
inline void seed_hash() {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
        seed = static_cast<uint64_t>(std::time(nullptr)) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(getpid());
    }
    host_table::hash_seed = seed;
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

// Hosts of one address family: open addressing with linear probing over a pool of nodes. The
// nodes are also on a list in the order they were last counted, so the stalest host is always at
// one end for expiry. Deletion shifts the probe run back instead of leaving tombstones, since a
// live table deletes as often as it inserts.
template <class Key>
class HostTable {
public:
    size_t size() const noexcept { return size_; }

    // Counts one packet to `key` at `timestamp` and returns the host's count after it. Throws
    // std::bad_alloc, before changing anything, when the table cannot grow.
    uint32_t count_packet(const Key& key, double timestamp) {
        uint32_t hash = hash_of(key);
        if (size_ > 0) {
            uint32_t index = slots_[find(key, hash)].node;
            if (index != kNone) return count_again(index, timestamp);
        }
        insert(key, hash, timestamp);
        return 1;
    }

    // Drops hosts from the stale end of the list for as long as their last packet is more than
    // kExpiryAge older than `newest_time`. With time stamps in order that is every such host; a
    // host stamped back in time waits until it reaches the end, which only keeps it longer.
    void expire(double newest_time) noexcept {
        while (oldest_ != kNone && newest_time - nodes_[oldest_].state.last_seen_time > kExpiryAge) {
            erase(oldest_);
        }
    }

    // Empties the table and gives its storage back.
    void clear() noexcept {
        std::vector<Node>().swap(nodes_);
        std::vector<Slot>().swap(slots_);
        newest_ = oldest_ = free_ = kNone;
        size_ = 0;
    }

private:
    static constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
    static constexpr size_t kMinSlots = 64;

    struct Node {
        Key key;
        HostState state;
        uint32_t newer, older;  // recency list neighbours; `older` also chains free nodes
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

    uint32_t count_again(uint32_t index, double timestamp) noexcept {
        HostState& state = nodes_[index].state;
        bool in_window = timestamp - state.last_seen_time <= kCountWindow;
        state.connection_count = in_window ? state.connection_count + 1 : 1;  // wraps at 2^32
        state.last_seen_time = timestamp;
        unlink(index);
        link_newest(index);
        return state.connection_count;
    }

    void insert(const Key& key, uint32_t hash, double timestamp) {
        // The two steps that can throw come first and each leaves the table whole.
        if ((size_ + 1) * 4 > slots_.size() * 3) rehash(std::max(kMinSlots, slots_.size() * 2));
        uint32_t index = new_node();
        nodes_[index] = Node{key, HostState{1, timestamp}, kNone, kNone};
        slots_[find(key, hash)] = Slot{index, hash};
        link_newest(index);
        ++size_;
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
        close_gap(slot);
        unlink(index);
        nodes_[index].older = free_;
        free_ = index;
        --size_;
    }

    // Empties `hole` and moves up every later entry of the run whose probe path passes the hole.
    void close_gap(size_t hole) noexcept {
        size_t slot = hole;
        for (;;) {
            slot = (slot + 1) & mask();
            if (slots_[slot].node == kNone) break;
            size_t home = slots_[slot].hash & mask();
            if (((slot - home) & mask()) >= ((slot - hole) & mask())) {
                slots_[hole] = slots_[slot];
                hole = slot;
            }
        }
        slots_[hole].node = kNone;
    }

    void unlink(uint32_t index) noexcept {
        const Node& node = nodes_[index];
        (node.newer != kNone ? nodes_[node.newer].older : newest_) = node.older;
        (node.older != kNone ? nodes_[node.older].newer : oldest_) = node.newer;
    }

    void link_newest(uint32_t index) noexcept {
        Node& node = nodes_[index];
        node.newer = kNone;
        node.older = newest_;
        (newest_ != kNone ? nodes_[newest_].newer : oldest_) = index;
        newest_ = index;
    }

    std::vector<Node> nodes_;
    std::vector<Slot> slots_;
    uint32_t newest_ = kNone, oldest_ = kNone, free_ = kNone;
    size_t size_ = 0;
};

}  // namespace host_table

// Destinations counted so far: IPv4 and IPv6 hosts in key spaces of their own, both expiring
// against the newest time stamp either has seen.
class HostTracker {
public:
    // Throws std::bad_alloc when a new host cannot be stored.
    uint32_t count_packet(const PacketRecord& rec) {
        newest_time_ = std::max(newest_time_, rec.timestamp);
        ipv4_.expire(newest_time_);
        ipv6_.expire(newest_time_);
        if (rec.ip_version == 6) {
            host_table::Ipv6Address destination{};
            std::memcpy(&destination.high, rec.dst_ip_v6, 8);
            std::memcpy(&destination.low, rec.dst_ip_v6 + 8, 8);
            return ipv6_.count_packet(destination, rec.timestamp);
        }
        return ipv4_.count_packet(rec.dst_ip_v4, rec.timestamp);
    }

    size_t size() const noexcept { return ipv4_.size() + ipv6_.size(); }

    void clear() noexcept {
        ipv4_.clear();
        ipv6_.clear();
        newest_time_ = -std::numeric_limits<double>::infinity();
    }

private:
    host_table::HostTable<uint32_t> ipv4_;
    host_table::HostTable<host_table::Ipv6Address> ipv6_;
    double newest_time_ = -std::numeric_limits<double>::infinity();
};
