// The traffic columns of connection records, computed when a record is emitted over the records
// emitted before it and itself: the time window (end times at most the window's length before the
// record's own end time, and not after it) and the host window (the last records emitted).
//
// For the time window the history is indexed twice by end time: by responder (IPv4 and IPv6
// apart) and by service. A record's time window is then the run of its own host's entries, walked
// (a host's records are few next to a service's), and the run of its own service's entries,
// counted from running counts without a walk. Records are emitted roughly, not exactly, in
// end-time order (a time-out comes long after a linger), so the indexes take insertions anywhere.
//
// The history keeps the last max_records records emitted. Each entry carries its emission serial.
// The service index lets records go as they leave the history (their end times and services are
// kept in emission order for that); the host indexes pass over them, and sweep them out once
// they are many.
#pragma once

#include "connection_record.hpp"
#include "host_window.hpp"
#include "keyed_times.hpp"

#include <compare>
#include <cstdint>
#include <deque>

namespace varnel::connections {

class TrafficWindows {
public:
    // `max_records` bounds the history; `host_window` counts the record being emitted.
    TrafficWindows(int64_t time_window_us, uint32_t host_window, uint32_t max_records) noexcept;

    // Fills the traffic columns of `record` (exact counts and rates) from its end time, responder,
    // service, flag and originator port, then keeps it in the history. Throws std::bad_alloc with
    // the history unchanged.
    void add(ConnectionRecord& record);

    void clear() noexcept;
    size_t held() const noexcept { return held_; }

private:
    struct Ipv6Host {
        uint64_t high, low;
        auto operator<=>(const Ipv6Host&) const = default;
    };

    struct HostExtra {
        ServiceId service;
        WindowError error;
    };

    static WindowRecord window_record_of(const ConnectionRecord& record) noexcept;
    bool is_held(uint32_t serial) const noexcept {
        return static_cast<uint32_t>(serial - static_cast<uint32_t>(next_serial_ - held_)) < held_;
    }

    WindowCounts time_window(const WindowRecord& self, int64_t end_us) const noexcept;
    void keep(const WindowRecord& self, int64_t end_us);
    void insert_host(const WindowRecord& self, int64_t end_us, uint32_t serial);
    void erase_host(const WindowRecord& self, int64_t end_us, uint32_t serial) noexcept;
    void let_oldest_go() noexcept;
    void sweep_hosts() noexcept;

    int64_t time_window_us_;
    uint32_t host_window_;
    uint32_t max_records_;
    KeyedTimes<uint32_t, HostExtra> ipv4_hosts_;
    KeyedTimes<Ipv6Host, HostExtra> ipv6_hosts_;
    KeyedTimes<ServiceId, WindowError, true> services_;
    std::deque<int64_t> held_ends_;  // of the history, in emission order
    std::deque<ServiceId> held_services_;
    HostWindow recent_;
    uint64_t next_serial_ = 0;
    uint32_t held_ = 0;    // the last held_ serials are the history
    uint64_t let_go_ = 0;  // records let go since the hosts were last swept
};

// To the nearest 0.01 of the exact value, ties away from zero; `rate` is never negative.
double round_rate(double rate) noexcept;

}  // namespace varnel::connections
