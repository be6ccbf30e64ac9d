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
      // Counts include the record being emitted, so the history stays below 2^32 - 1.
      max_records_(std::clamp(max_records, 1u, std::numeric_limits<uint32_t>::max() - 1)) {}

void TrafficWindows::clear() noexcept {
    ring_.clear();
    ring_.shrink_to_fit();
    std::vector<Chunk>().swap(chunks_);
    next_serial_ = 0;
}

TrafficWindows::Entry TrafficWindows::entry_of(const ConnectionRecord& record) noexcept {
    Entry entry{};
    entry.end_us = record.end_us;
    std::memcpy(&entry.host_high, record.dst_ip.data(), 8);
    std::memcpy(&entry.host_low, record.dst_ip.data() + 8, 8);
    entry.service = record.service;
    entry.src_port = record.src_port;
    entry.ip_version = record.ip_version;
    switch (record.flag) {
        case Flag::S0:
        case Flag::S1:
        case Flag::S2:
        case Flag::S3: entry.error = kSynError; break;
        case Flag::REJ: entry.error = kRejError; break;
        default: entry.error = kNoError; break;
    }
    return entry;
}

const TrafficWindows::Entry& TrafficWindows::at(uint32_t serial) const noexcept {
    auto front = static_cast<uint32_t>(next_serial_ - ring_.size());
    return ring_[static_cast<uint32_t>(serial - front)];
}

void TrafficWindows::Counts::count(const Entry& other, const Entry& self) noexcept {
    bool same_host =
        other.host_high == self.host_high && other.host_low == self.host_low && other.ip_version == self.ip_version;
    bool same_service = other.service == self.service;
    bool syn_error = other.error == kSynError;
    bool rej_error = other.error == kRejError;
    host += same_host;
    host_syn_error += same_host && syn_error;
    host_rej_error += same_host && rej_error;
    host_same_service += same_host && same_service;
    host_same_src_port += same_host && other.src_port == self.src_port;
    service += same_service;
    service_syn_error += same_service && syn_error;
    service_rej_error += same_service && rej_error;
    service_other_host += same_service && !same_host;
}

TrafficWindows::Counts TrafficWindows::time_window(const Entry& self) const noexcept {
    Counts counts;
    counts.count(self, self);
    int64_t from = self.end_us - time_window_us_;
    auto first = std::lower_bound(chunks_.begin(), chunks_.end(), from,
                                  [](const Chunk& chunk, int64_t time) { return chunk.last_end_us < time; });
    for (auto chunk = first; chunk != chunks_.end(); ++chunk) {
        auto serial = chunk->serials.begin();
        if (chunk == first) {
            serial = std::lower_bound(serial, chunk->serials.end(), from,
                                      [this](uint32_t held, int64_t time) { return end_of(held) < time; });
        }
        for (; serial != chunk->serials.end(); ++serial) {
            const Entry& other = at(*serial);
            if (other.end_us > self.end_us) return counts;
            counts.count(other, self);
        }
    }
    return counts;
}

TrafficWindows::Counts TrafficWindows::host_window(const Entry& self) const noexcept {
    Counts counts;
    counts.count(self, self);
    size_t earlier = std::min<size_t>(host_window_ - 1, ring_.size());
    for (auto other = ring_.end() - static_cast<std::ptrdiff_t>(earlier); other != ring_.end(); ++other) {
        counts.count(*other, self);
    }
    return counts;
}

void TrafficWindows::add(ConnectionRecord& record) {
    Entry self = entry_of(record);
    Counts in_time = time_window(self);
    Counts in_hosts = host_window(self);
    keep(self);

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

void TrafficWindows::keep(const Entry& self) {
    ring_.push_back(self);
    auto serial = static_cast<uint32_t>(next_serial_++);
    try {
        index_insert(serial, self.end_us);
    } catch (...) {
        ring_.pop_back();
        --next_serial_;
        throw;
    }
    if (ring_.size() > max_records_) drop_oldest();
}

void TrafficWindows::drop_oldest() noexcept {
    auto serial = static_cast<uint32_t>(next_serial_ - ring_.size());
    index_erase(serial, ring_.front().end_us);
    ring_.pop_front();
}

TrafficWindows::Chunk TrafficWindows::new_chunk() const {
    Chunk chunk{std::numeric_limits<int64_t>::min(), {}};
    // Room for one more than a full chunk, so that an insertion never reallocates.
    chunk.serials.reserve(kChunkCapacity + 1);
    return chunk;
}

// Everything that allocates comes first; once the index changes, nothing throws.
void TrafficWindows::index_insert(uint32_t serial, int64_t end_us) {
    if (chunks_.empty()) {
        Chunk first = new_chunk();
        chunks_.reserve(1);
        first.serials.push_back(serial);
        first.last_end_us = end_us;
        chunks_.push_back(std::move(first));
        return;
    }
    auto chunk = std::upper_bound(chunks_.begin(), chunks_.end(), end_us,
                                  [](int64_t time, const Chunk& held) { return time < held.last_end_us; });
    if (chunk == chunks_.end()) --chunk;
    Chunk upper;
    if (chunk->serials.size() == kChunkCapacity) {
        auto index = chunk - chunks_.begin();
        upper = new_chunk();
        if (chunks_.size() == chunks_.capacity()) chunks_.reserve(2 * chunks_.size());
        chunk = chunks_.begin() + index;
    }
    std::vector<uint32_t>& serials = chunk->serials;
    auto position = std::upper_bound(serials.begin(), serials.end(), end_us,
                                     [this](int64_t time, uint32_t held) { return time < end_of(held); });
    serials.insert(position, serial);
    chunk->last_end_us = std::max(chunk->last_end_us, end_us);
    if (serials.size() <= kChunkCapacity) return;
    auto half = serials.begin() + kChunkCapacity / 2;
    upper.serials.assign(half, serials.end());
    serials.erase(half, serials.end());
    upper.last_end_us = chunk->last_end_us;
    chunk->last_end_us = end_of(serials.back());
    chunks_.insert(chunk + 1, std::move(upper));
}

void TrafficWindows::index_erase(uint32_t serial, int64_t end_us) noexcept {
    auto chunk = std::lower_bound(chunks_.begin(), chunks_.end(), end_us,
                                  [](const Chunk& held, int64_t time) { return held.last_end_us < time; });
    for (; chunk != chunks_.end(); ++chunk) {
        std::vector<uint32_t>& serials = chunk->serials;
        auto position = std::lower_bound(serials.begin(), serials.end(), end_us,
                                         [this](uint32_t held, int64_t time) { return end_of(held) < time; });
        while (position != serials.end() && *position != serial && end_of(*position) == end_us) ++position;
        if (position == serials.end()) continue;  // equal end times may go on in the next chunk
        if (*position != serial) return;          // not held
        serials.erase(position);
        break;
    }
    if (chunk == chunks_.end()) return;
    if (chunk->serials.empty()) {
        chunks_.erase(chunk);
        return;
    }
    chunk->last_end_us = end_of(chunk->serials.back());
    auto next = chunk + 1;
    if (next != chunks_.end() && chunk->serials.size() + next->serials.size() <= kChunkCapacity / 2) {
        chunk->serials.insert(chunk->serials.end(), next->serials.begin(), next->serials.end());
        chunk->last_end_us = next->last_end_us;
        chunks_.erase(next);
    }
}

}  // namespace varnel::connections
