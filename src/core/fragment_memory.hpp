// The memory of fragmented IPv4 datagrams, through which fragments after the first reach their
// connection: a datagram (source, destination, protocol, identification) is remembered when its
// first fragment comes, for 30 s of packet time, with the byte ranges its fragments have covered.
// Fragments are rare next to packets, so this is kept in the standard containers.
#pragma once

#include "transport.hpp"

#include <cstdint>
#include <deque>
#include <unordered_map>
#include <utility>
#include <vector>

namespace varnel::connections {

inline constexpr int64_t kFragmentMemoryUs = 30'000'000;
inline constexpr uint32_t kMaxDatagram = 65'535;

struct DatagramKey {
    uint32_t src;  // wire order
    uint32_t dst;
    uint16_t id;
    uint8_t protocol;
    bool operator==(const DatagramKey&) const = default;

    static DatagramKey of(const TransportFacts& facts) noexcept;
};

struct DatagramKeyHash {
    size_t operator()(const DatagramKey& key) const noexcept;
};

struct Datagram {
    uint32_t connection;        // where the first fragment went: its index in the table
    uint64_t connection_serial; // and its creation number, which tells whether it is still open
    bool from_originator;
    int64_t remembered_at_us;   // the newest time stamp when the first fragment came
    uint64_t order;             // remembered order; tells the queue's live entries from stale ones
    std::vector<std::pair<uint32_t, uint32_t>> covered;  // disjoint [start, end), ascending

    // Adds a later fragment's bytes [offset, offset + length): true when they intersect bytes an
    // earlier fragment covered, or end past 65,535. Throws std::bad_alloc with nothing changed.
    bool add_fragment(uint32_t offset, uint32_t length);
};

class FragmentMemory {
public:
    explicit FragmentMemory(size_t capacity) noexcept : capacity_(capacity < 1 ? 1 : capacity) {}

    // Remembers the datagram of a first fragment, in place of any datagram of the same key; beyond
    // the capacity the one remembered earliest is forgotten. Throws std::bad_alloc.
    void remember(const DatagramKey& key, Datagram datagram);
    Datagram* find(const DatagramKey& key) noexcept;
    // Forgets the datagrams remembered 30 s or more before `newest_us`.
    void forget_until(int64_t newest_us) noexcept;
    void clear() noexcept;

private:
    struct Queued {
        DatagramKey key;
        int64_t remembered_at_us;
        uint64_t order;
    };

    bool is_live(const Queued& queued) const noexcept;
    void forget_earliest() noexcept;
    void drop_stale() noexcept;

    size_t capacity_;
    uint64_t next_order_ = 0;
    std::unordered_map<DatagramKey, Datagram, DatagramKeyHash> datagrams_;
    std::deque<Queued> queue_;  // in remembered order; entries of replaced datagrams are stale
};

}  // namespace varnel::connections
