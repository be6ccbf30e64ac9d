// The connection table: packets in (as transport facts, in capture order), connection records
// out, in the order connections end, their traffic columns computed as they go. Time is packet
// time: before each packet, connections are expired against the newest time stamp seen so far.
//
// Open connections live in a pool, found through an open-addressing hash table keyed by the
// protocol and the unordered pair of end points (ICMP: one direction with type, code and echo id).
// Each waits in one of four timer queues (TCP, UDP, ICMP, closing TCP): binary heaps ordered by
// (end time, start time, creation), where one time-out applies to all, so the earliest deadline is
// at the top of one of them. A packet only moves its connection's end time; a heap entry whose
// time has moved is put back in place when it reaches the top, so a packet costs no heap work.
// Plain C++: nothing here knows of the interpreter.
#pragma once

#include "connection_record.hpp"
#include "fragment_memory.hpp"
#include "services.hpp"
#include "traffic_windows.hpp"
#include "transport.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

namespace varnel::connections {

struct ConnectionStats {
    uint64_t connections = 0;             // records emitted
    uint64_t open_connections = 0;
    uint64_t evicted = 0;                 // ended early, beyond max_connections open
    uint64_t other_protocol = 0;          // packets of protocols that make no record
    uint64_t unattributed_fragments = 0;  // later fragments whose datagram is not known
};

class ConnectionTable {
public:
    ConnectionTable(const ConnectionOptions& options, ServiceTable services);

    // Expires connections against the newest time stamp (this packet's included), then takes the
    // packet. Records that end go to `ended` in the defined order, complete. Throws
    // std::bad_alloc; the table stays consistent (a connection that could not be emitted stays
    // open), and the records already appended to `ended` are good.
    void add(const TransportFacts& facts, std::vector<ConnectionRecord>& ended);
    // Hints that the packet of `facts` comes soon, in two stages: its slot of the hash table is
    // fetched into the cache, then (a few frames later, when the slot is there) the connection the
    // slot names. Callers that decode frames ahead hide most of the lookup's memory latency this
    // way; the results are the same without them.
    void prefetch_slot(const TransportFacts& facts) const noexcept;
    void prefetch_connection(const TransportFacts& facts) const noexcept;
    // A live stream's wall clock: expires as a packet stamped `now_us` would, without a packet.
    void expire_until(int64_t now_us, std::vector<ConnectionRecord>& ended);
    // The end of a capture: every open connection ends, by (end time, start time, creation).
    void flush(std::vector<ConnectionRecord>& ended);
    // The same, at most `most` records at a time, so that a capture ending with a million
    // connections open is not one million records in memory at once: false until the last has
    // ended. No packet may come in between.
    bool flush_some(std::vector<ConnectionRecord>& ended, size_t most);
    // A new capture: no connection, datagram, history or time seen. The counts of stats() go on.
    void reset() noexcept;

    ConnectionStats stats() const noexcept;
    const ServiceTable& services() const noexcept { return services_; }
    // Records held for the time window; for memory measurements.
    size_t records_held() const noexcept { return windows_.held(); }
    // Bytes of the pool, mapped outside the heap; for memory measurements.
    size_t pool_bytes() const noexcept { return blocks_.size() * kBlockBytes; }

private:
    enum Timer : uint8_t { kTcpTimer, kUdpTimer, kIcmpTimer, kClosingTimer, kTimers };

    // What a TCP connection has seen, each side's packets apart.
    enum TcpSeen : uint8_t {
        kOriginatorSyn = 1,      // SYN without ACK
        kOriginatorFin = 2,
        kOriginatorRst = 4,
        kResponderSynAck = 8,    // SYN and ACK
        kResponderFin = 16,
        kResponderRst = 32,
        kResponderRstFirst = 64, // of the first RST seen
    };

    // Two cache lines: what a packet of an IPv4 connection reads and writes (its key, end time,
    // counts) in the first; the rest, IPv6's lower address halves included, in the second.
    struct alignas(64) Connection {
        uint64_t originator_high;  // addresses, IPv4 in the first four bytes
        uint64_t responder_high;
        uint16_t originator_port, responder_port;  // ICMP: type << 8 | code, and the echo id
        uint8_t ip_version, protocol;
        uint8_t tcp_seen;
        uint8_t timer;                             // kTimers while free
        int64_t end_us;
        uint64_t src_bytes, dst_bytes;
        uint32_t src_packets, dst_packets;
        uint32_t urgent;
        uint32_t hash;

        uint64_t originator_low;                   // zero for IPv4
        uint64_t responder_low;
        int64_t start_us;
        uint64_t serial;                           // creation number from 1; 0 while free
        uint32_t wrong_fragment;
        uint32_t input;
        ServiceId service;
    };
    static_assert(sizeof(Connection) == 128 && offsetof(Connection, originator_low) == 64);

    // A packet's key, as looked up.
    struct Probe {
        uint64_t src_high, src_low, dst_high, dst_low;
        uint16_t src_port, dst_port;
        uint8_t ip_version, protocol;
        bool either_way;  // TCP and UDP: the end points in either order
        uint32_t hash;
    };

    struct TimerEntry {
        int64_t end_us;  // as it was when queued; never later than the connection's
        int64_t start_us;
        uint64_t serial;
        uint32_t index;
    };

    struct Slot {
        uint32_t index;  // kNone when empty
        uint32_t hash;
    };

    static constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
    static constexpr size_t kMinSlots = 64;
    // The pool's blocks are 2 MiB, mapped on their own and advised as huge pages where the kernel
    // allows: a packet's connection is anywhere in megabytes, and with small pages most lookups
    // would miss the TLB as well as the cache.
    static constexpr size_t kBlockBytes = size_t{2} << 20;
    static constexpr uint32_t kBlockSize = kBlockBytes / sizeof(Connection);  // connections per block
    static constexpr int kPrefetchSteps = 8;  // slots a prefetch looks through
    struct UnmapBlock {
        void operator()(Connection* block) const noexcept;
    };
    using Block = std::unique_ptr<Connection[], UnmapBlock>;
    static Block map_block();

    // Packets.
    void take_layer4(const TransportFacts& facts, std::vector<ConnectionRecord>& ended);
    void take_later_fragment(const TransportFacts& facts);
    void count_packet(Connection& connection, const TransportFacts& facts, bool from_originator, uint32_t payload);
    void count_tcp_flags(uint32_t index, uint8_t flags, bool from_originator);
    void remember_datagram(const TransportFacts& facts, uint32_t index, bool from_originator);
    void move_time(int64_t time_us, std::vector<ConnectionRecord>& ended);

    // Connections.
    static Probe probe_of(const TransportFacts& facts) noexcept;
    bool matches(const Connection& connection, const Probe& probe) const noexcept;
    static bool is_closing(const Connection& connection) noexcept;
    uint32_t find(const Probe& probe) const noexcept;
    uint32_t create(const TransportFacts& facts, const Probe& probe);
    void release(uint32_t index) noexcept;
    Connection& at(uint32_t index) noexcept { return blocks_[index / kBlockSize][index % kBlockSize]; }
    const Connection& at(uint32_t index) const noexcept { return blocks_[index / kBlockSize][index % kBlockSize]; }
    uint32_t new_index();

    // The hash table.
    size_t mask() const noexcept { return slots_.size() - 1; }
    void grow_slots();
    void erase_slot(uint32_t index) noexcept;

    // Timers.
    Timer timer_of(uint8_t protocol) const noexcept;
    int64_t deadline(Timer timer, const TimerEntry& entry) const noexcept { return entry.end_us + timeouts_[timer]; }
    void schedule(uint32_t index);  // the connection's timer queue must have room
    void make_closing(uint32_t index);
    void settle(Timer timer) noexcept;
    void clean_top(Timer timer) noexcept;
    void compact(Timer timer) noexcept;
    bool is_current(Timer timer, const TimerEntry& entry) const noexcept;
    bool comes_before(Timer timer, Timer other, bool by_deadline) const noexcept;
    // The queue whose top connection comes first, by (deadline, end, start, creation) or by
    // (end, start, creation); kTimers when every queue is empty.
    Timer first_top(bool by_deadline) noexcept;
    void refresh_next_due() noexcept;
    void expire(std::vector<ConnectionRecord>& ended);
    void evict(std::vector<ConnectionRecord>& ended);
    void order_for_flush();
    // Always inlined, as the history's prefetches are.
    [[gnu::always_inline]] inline void prefetch_ahead_of_flush() const noexcept;

    // Records.
    void end_connection(uint32_t index, std::vector<ConnectionRecord>& ended);
    void fill_record(const Connection& connection, ConnectionRecord& record) const noexcept;
    static Flag tcp_flag(uint8_t seen) noexcept;
    static void shape_for_kdd(ConnectionRecord& record) noexcept;

    ConnectionOptions options_;
    ServiceTable services_;
    int64_t timeouts_[kTimers];
    // The pool: connections in blocks that never move, so that growing it copies nothing.
    std::vector<Block> blocks_;
    uint32_t pool_size_ = 0;          // connections ever made in this capture
    std::vector<uint32_t> free_;      // reserved to the pool's size, so that a release never allocates
    std::vector<Slot> slots_;
    std::vector<TimerEntry> timers_[kTimers];
    uint32_t live_[kTimers] = {};     // open connections per timer queue
    int64_t next_due_ = std::numeric_limits<int64_t>::max();  // no deadline is earlier than this
    int64_t newest_us_ = std::numeric_limits<int64_t>::min();
    uint64_t next_serial_ = 1;
    std::vector<TimerEntry> flushing_;  // the connections a flush_some() has yet to end, last first
    bool flush_started_ = false;
    FragmentMemory fragments_;
    TrafficWindows windows_;
    ConnectionStats stats_;
};

}  // namespace varnel::connections
