#include "traffic_windows.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace varnel::connections {

namespace {

double share(uint32_t part, uint32_t whole) { return static_cast<double>(part) / static_cast<double>(whole); }

}  // namespace

// The product with 100 is not exact in floating point; fma's single rounding keeps the sign of
// each exact difference, which is all the comparisons need.
double round_rate(double rate) noexcept {
    double hundredths = std::floor(rate * 100.0);
    if (std::fma(rate, 100.0, -hundredths) < 0) hundredths -= 1;
    if (std::fma(rate, 100.0, -(hundredths + 1)) >= 0) hundredths += 1;
    if (std::fma(rate, 100.0, -(hundredths + 0.5)) >= 0) hundredths += 1;
    return hundredths / 100.0;
}

TrafficWindows::TrafficWindows(int64_t time_window_us, uint32_t host_window, uint32_t max_records) noexcept
    : time_window_us_(time_window_us),
      host_window_(std::max(host_window, 1u)),
      max_records_(std::clamp(max_records, 1u, TimeHistory::kMaxHeld - 1)),
      history_(time_window_us) {}

void TrafficWindows::clear() noexcept {
    history_.clear();
    services_.clear();
    recent_.clear();
}

WindowRecord TrafficWindows::window_record_of(const ConnectionRecord& record) noexcept {
    WindowRecord seen{};
    std::memcpy(&seen.host_high, record.dst_ip.data(), 8);
    std::memcpy(&seen.host_low, record.dst_ip.data() + 8, 8);
    seen.service = record.service;
    seen.src_port = record.src_port;
    seen.ip_version = record.ip_version;
    switch (record.flag) {
        case Flag::S0:
        case Flag::S1:
        case Flag::S2:
        case Flag::S3: seen.error = WindowError::Syn; break;
        case Flag::REJ: seen.error = WindowError::Rej; break;
        default: seen.error = WindowError::None; break;
    }
    return seen;
}

WindowCounts TrafficWindows::time_window(const WindowRecord& self, int64_t end_us) const noexcept {
    WindowCounts counts = WindowCounts::of_itself(self);
    int64_t from_us = end_us - time_window_us_;
    // The host's chains are fetched while the service's entries are counted.
    history_.prefetch_host(self, from_us, end_us);
    auto service = services_.tally(self.service, from_us, end_us);
    auto syn = service[static_cast<size_t>(WindowError::Syn)];
    auto rej = service[static_cast<size_t>(WindowError::Rej)];
    counts.service += service[static_cast<size_t>(WindowError::None)] + syn + rej;
    counts.service_syn_error += syn;
    counts.service_rej_error += rej;
    history_.visit_host(self, from_us, end_us, [&](const TimeHistory::Held& held) {
        ++counts.host;
        counts.host_syn_error += held.error == WindowError::Syn;
        counts.host_rej_error += held.error == WindowError::Rej;
        counts.host_same_service += held.service == self.service;
    });
    counts.service_other_host = counts.service - counts.host_same_service;
    return counts;
}

void TrafficWindows::add(ConnectionRecord& record) {
    WindowRecord self = window_record_of(record);
    WindowCounts in_time = time_window(self, record.end_us);
    WindowCounts in_hosts = keep(self, record.end_us);

    record.count = in_time.host;
    record.srv_count = in_time.service;
    record.serror_rate = share(in_time.host_syn_error, in_time.host);
    record.srv_serror_rate = share(in_time.service_syn_error, in_time.service);
    record.rerror_rate = share(in_time.host_rej_error, in_time.host);
    record.srv_rerror_rate = share(in_time.service_rej_error, in_time.service);
    record.same_srv_rate = share(in_time.host_same_service, in_time.host);
    record.diff_srv_rate = share(in_time.host - in_time.host_same_service, in_time.host);
    record.srv_diff_host_rate = share(in_time.service_other_host, in_time.service);

    record.dst_host_count = in_hosts.host;
    record.dst_host_srv_count = in_hosts.service;
    record.dst_host_same_srv_rate = share(in_hosts.host_same_service, in_hosts.host);
    record.dst_host_diff_srv_rate = share(in_hosts.host - in_hosts.host_same_service, in_hosts.host);
    record.dst_host_same_src_port_rate = share(in_hosts.host_same_src_port, in_hosts.host);
    record.dst_host_srv_diff_host_rate = share(in_hosts.service_other_host, in_hosts.service);
    record.dst_host_serror_rate = share(in_hosts.host_syn_error, in_hosts.host);
    record.dst_host_srv_serror_rate = share(in_hosts.service_syn_error, in_hosts.service);
    record.dst_host_rerror_rate = share(in_hosts.host_rej_error, in_hosts.host);
    record.dst_host_srv_rerror_rate = share(in_hosts.service_rej_error, in_hosts.service);
}

// Keeps the record in the history and the host window, and gives its host window counts. Only
// the service index and the host window can fail once the history has room, and the first is
// undone should the second fail.
WindowCounts TrafficWindows::keep(const WindowRecord& self, int64_t end_us) {
    history_.reserve_one();
    services_.insert(self.service, end_us, self.error);
    WindowCounts in_hosts;
    try {
        // The host window draws on the history alone.
        in_hosts = recent_.count_and_push(self, std::min<size_t>(host_window_ - 1, max_records_));
    } catch (...) {
        services_.erase(self.service, end_us, self.error);
        throw;
    }
    history_.push(self, end_us);
    if (history_.size() > max_records_) let_oldest_go();
    return in_hosts;
}

void TrafficWindows::let_oldest_go() noexcept {
    const TimeHistory::Held& oldest = history_.oldest();
    services_.erase(oldest.service, oldest.end_us, oldest.error);
    history_.pop_oldest();
}

}  // namespace varnel::connections
