// The connection records of a read: the frames the capture reader located, as transport facts,
// into the connection table, and the records that end handed out one at a time. Each input is a
// capture of its own unless the inputs are one (`continuous`): at its end every open connection
// ends, a few thousand records at a time, and the table starts afresh. Plain C++, as the table.
#pragma once

#include "connections.hpp"
#include "link_layer.hpp"

#include <cstdint>
#include <vector>

namespace varnel::connections {

class ConnectionFeed {
public:
    // Records ended at once by a flush at the end of a capture, at most.
    static constexpr size_t kFlushChunk = 4096;

    ConnectionFeed(const ConnectionOptions& options, ServiceTable services, bool continuous)
        : table_(options, std::move(services)), continuous_(continuous) {}

    // A frame of input `input`, located by the reader; it reaches the table a few frames later
    // (at the latest at an end or an idle moment). Throws std::bad_alloc.
    void take(const packet_decoding::NetworkPacket& packet, uint32_t input);
    // Input `input` was read to its end.
    void input_ended();
    // The read ended (every input read, a device closed, a failure): every open connection ends.
    void read_ended();
    // A live device idle: its clock moves time on (microseconds since the epoch), as a frame would.
    void idle(int64_t now_us);

    // The next record ready, or null; valid until the next call. Throws std::bad_alloc.
    const ConnectionRecord* next();
    // Whether records are ready or a flush is under way: frames must wait until next() is null.
    bool busy() const noexcept { return taken_ < ready_.size() || flush_ != Flush::None; }

    ConnectionStats stats() const noexcept { return table_.stats(); }
    const ServiceTable& services() const noexcept { return table_.services(); }

private:
    enum class Flush : uint8_t { None, ThenReset, Final };
    // Frames wait this many places before they reach the table: the hash slot of each is fetched
    // into the cache as it comes, the connection the slot names half-way, so that the table's two
    // memory accesses of a frame are mostly done by the time it is added.
    static constexpr size_t kAhead = 8;

    void make_room() noexcept;
    void add_oldest();
    void add_waiting();

    ConnectionTable table_;
    TransportFacts waiting_[kAhead];
    size_t first_waiting_ = 0;
    size_t waiting_count_ = 0;
    std::vector<ConnectionRecord> ready_;
    size_t taken_ = 0;  // records of ready_ handed out
    Flush flush_ = Flush::None;
    bool continuous_;
};

// The wall clock in microseconds since the epoch, as live frames are stamped.
int64_t wall_clock_us() noexcept;

}  // namespace varnel::connections
