// The traffic columns of connection records, computed when a record is emitted over the records
// emitted before it and itself: the time window (end times at most the window's length before the
// record's own end time, and not after it) and the host window (the last records emitted).
//
// For the time window the history is reached two ways: by responder and end-time bucket (see
// time_history.hpp), and by service, sorted by end time. A record's time window is then its own
// host's records in two buckets, walked (a host's records are few next to a service's), and the
// run of its own service's entries, counted from running counts without a walk. Records are
// emitted roughly, not exactly, in end-time order (a time-out comes long after a linger), so both
// take records in any order.
//
// The history keeps the last max_records records emitted; the service index lets each go as it
// leaves, the host chains pass over them.
#pragma once

#include "connection_record.hpp"
#include "host_window.hpp"
#include "keyed_times.hpp"
#include "time_history.hpp"

#include <cstdint>

namespace varnel::connections {

class TrafficWindows {
public:
    // `max_records` bounds the history; `host_window` counts the record being emitted.
    TrafficWindows(int64_t time_window_us, uint32_t host_window, uint32_t max_records) noexcept;

    // Fills the traffic columns of `record` (exact counts and rates) from its end time, responder,
    // service, flag and originator port, then keeps it in the history. Throws std::bad_alloc with
    // the history unchanged.
    void add(ConnectionRecord& record);

    // Hints that a record of responder `host` ending at `end_us` comes soon: the slots of its
    // host's chains are fetched. Only `host`'s address and IP version are read.
    [[gnu::always_inline]] void prefetch(const WindowRecord& host, int64_t end_us) const noexcept {
        history_.prefetch_host(host, end_us - time_window_us_, end_us);
    }

    void clear() noexcept;
    size_t held() const noexcept { return history_.size(); }

private:
    static WindowRecord window_record_of(const ConnectionRecord& record) noexcept;

    WindowCounts time_window(const WindowRecord& self, int64_t end_us) const noexcept;
    WindowCounts keep(const WindowRecord& self, int64_t end_us);
    void let_oldest_go() noexcept;

    int64_t time_window_us_;
    uint32_t host_window_;
    uint32_t max_records_;
    TimeHistory history_;
    KeyedTimes<ServiceId, WindowError> services_;
    HostWindow recent_;
};

// To the nearest 0.01 of the exact value, ties away from zero; `rate` is never negative.
double round_rate(double rate) noexcept;

}  // namespace varnel::connections
