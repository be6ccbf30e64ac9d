#include "fragment_memory.hpp"

#include "host_table.hpp"

#include <algorithm>
#include <cstring>

namespace varnel::connections {

DatagramKey DatagramKey::of(const TransportFacts& facts) noexcept {
    DatagramKey key{};
    std::memcpy(&key.src, facts.src.data(), 4);
    std::memcpy(&key.dst, facts.dst.data(), 4);
    key.id = facts.ip_id;
    key.protocol = facts.protocol;
    return key;
}

size_t DatagramKeyHash::operator()(const DatagramKey& key) const noexcept {
    uint64_t addresses = (uint64_t{key.src} << 32) | key.dst;
    uint64_t rest = (uint64_t{key.id} << 8) | key.protocol;
    return host_table::mix(host_table::mix(addresses ^ host_table::hash_seed) ^ rest);
}

bool Datagram::add_fragment(uint32_t offset, uint32_t length) {
    uint32_t end = offset + length;  // both below 2^17: no overflow
    // The first range ending after `offset`; it intersects when it also starts before `end`.
    auto after = std::upper_bound(covered.begin(), covered.end(), offset,
                                  [](uint32_t at, const auto& range) { return at < range.second; });
    bool overlaps = length > 0 && after != covered.end() && after->first < end;
    bool too_long = end > kMaxDatagram;
    if (length == 0) return too_long;
    // Merge with every range it touches or intersects.
    auto first = std::lower_bound(covered.begin(), covered.end(), offset,
                                  [](const auto& range, uint32_t at) { return range.second < at; });
    auto last = first;
    uint32_t start = offset;
    while (last != covered.end() && last->first <= end) {
        start = std::min(start, last->first);
        end = std::max(end, last->second);
        ++last;
    }
    if (first == last) {
        covered.insert(first, {start, end});
    } else {
        *first = {start, end};
        covered.erase(first + 1, last);
    }
    return overlaps || too_long;
}

bool FragmentMemory::is_live(const Queued& queued) const noexcept {
    auto found = datagrams_.find(queued.key);
    return found != datagrams_.end() && found->second.order == queued.order;
}

void FragmentMemory::remember(const DatagramKey& key, Datagram datagram) {
    datagram.order = next_order_;
    // The queue entry comes first: should the map then fail, the entry is merely stale.
    queue_.push_back(Queued{key, datagram.remembered_at_us, next_order_});
    ++next_order_;
    auto found = datagrams_.find(key);
    if (found != datagrams_.end()) {
        found->second = std::move(datagram);
    } else {
        if (datagrams_.size() >= capacity_) forget_earliest();
        datagrams_.emplace(key, std::move(datagram));
    }
    if (queue_.size() > 2 * datagrams_.size() + 64) drop_stale();
}

Datagram* FragmentMemory::find(const DatagramKey& key) noexcept {
    auto found = datagrams_.find(key);
    return found == datagrams_.end() ? nullptr : &found->second;
}

void FragmentMemory::forget_earliest() noexcept {
    while (!queue_.empty()) {
        const Queued& front = queue_.front();
        bool live = is_live(front);
        if (live) datagrams_.erase(front.key);
        queue_.pop_front();
        if (live) return;
    }
}

// The queue is in remembered order, and so in order of remembered_at: the first entry not yet
// due ends the walk, stale or not.
void FragmentMemory::forget_until(int64_t newest_us) noexcept {
    while (!queue_.empty() && newest_us >= queue_.front().remembered_at_us + kFragmentMemoryUs) {
        if (is_live(queue_.front())) datagrams_.erase(queue_.front().key);
        queue_.pop_front();
    }
}

void FragmentMemory::drop_stale() noexcept {
    auto stale = std::remove_if(queue_.begin(), queue_.end(), [this](const Queued& queued) { return !is_live(queued); });
    queue_.erase(stale, queue_.end());
}

void FragmentMemory::clear() noexcept {
    datagrams_.clear();
    queue_.clear();
}

}  // namespace varnel::connections
