// The traffic columns of connection records, computed when a record is emitted over the records
// emitted before it and itself: the time window (end times at most the window's length before the
// record's own end time, and not after it) and the host window (the last records emitted).
//
// The history keeps every emitted record, up to a bound, oldest emitted dropped first, as 32 bytes
// in emission order. An index orders the history by end time in chunks of a few hundred serial
// numbers, so that a record's time window is found by two binary searches and costs what it holds:
// records are emitted roughly, not exactly, in end-time order (a time-out comes long after a
// linger), so the index takes insertions anywhere, most of them near its newest end.
#pragma once

#include "connection_record.hpp"

#include <cstdint>
#include <deque>
#include <vector>

namespace varnel::connections {

class TrafficWindows {
public:
    // `max_records` bounds the history; `host_window` counts the record being emitted.
    TrafficWindows(int64_t time_window_us, uint32_t host_window, uint32_t max_records) noexcept;

    // Fills the traffic columns of `record` (exact counts and rates) from its end time, responder,
    // service, flag and originator port, then keeps it in the history. Throws std::bad_alloc
    // with the history unchanged.
    void add(ConnectionRecord& record);

    void clear() noexcept;
    size_t held() const noexcept { return ring_.size(); }

private:
    enum Error : uint8_t { kNoError, kSynError, kRejError };

    struct Entry {
        int64_t end_us;
        uint64_t host_high;  // the responder's address
        uint64_t host_low;
        ServiceId service;
        uint16_t src_port;
        uint8_t ip_version;
        Error error;
    };
    static_assert(sizeof(Entry) == 32);

    // Counts over one window of the records like `self`: same host (responder address), same service.
    struct Counts {
        uint32_t host = 0;
        uint32_t service = 0;
        uint32_t host_syn_error = 0;
        uint32_t host_rej_error = 0;
        uint32_t host_same_service = 0;
        uint32_t host_same_src_port = 0;
        uint32_t service_syn_error = 0;
        uint32_t service_rej_error = 0;
        uint32_t service_other_host = 0;

        void count(const Entry& other, const Entry& self) noexcept;
    };

    // Serial numbers of history entries, sorted by end time; each chunk keeps its largest end.
    struct Chunk {
        int64_t last_end_us;
        std::vector<uint32_t> serials;
    };
    static constexpr size_t kChunkCapacity = 256;

    static Entry entry_of(const ConnectionRecord& record) noexcept;
    const Entry& at(uint32_t serial) const noexcept;
    int64_t end_of(uint32_t serial) const noexcept { return at(serial).end_us; }

    Counts time_window(const Entry& self) const noexcept;
    Counts host_window(const Entry& self) const noexcept;
    void keep(const Entry& self);
    void drop_oldest() noexcept;

    void index_insert(uint32_t serial, int64_t end_us);
    void index_erase(uint32_t serial, int64_t end_us) noexcept;
    Chunk new_chunk() const;

    int64_t time_window_us_;
    uint32_t host_window_;
    uint32_t max_records_;
    std::deque<Entry> ring_;  // emission order; the front has serial next_serial_ - size
    uint64_t next_serial_ = 0;
    std::vector<Chunk> chunks_;
};

// To the nearest 0.01 of the exact value, ties away from zero; `rate` is never negative.
double round_rate(double rate) noexcept;

}  // namespace varnel::connections
