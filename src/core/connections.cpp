#include "connections.hpp"

#include "host_table.hpp"
#include "probe_run.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <tuple>

namespace varnel::connections {

namespace {

using packet_decoding::kProtoTCP;
using packet_decoding::kProtoUDP;

void write_address(Address& address, uint64_t high, uint64_t low) noexcept {
    std::memcpy(address.data(), &high, sizeof high);
    std::memcpy(address.data() + 8, &low, sizeof low);
}

int64_t held_time(int64_t time_us) noexcept { return std::clamp(time_us, -kTimeLimitUs, kTimeLimitUs); }

int64_t held_duration(int64_t duration_us) noexcept { return std::clamp<int64_t>(duration_us, 0, kTimeLimitUs); }

bool is_tcp_or_udp(uint8_t protocol) noexcept { return protocol == kProtoTCP || protocol == kProtoUDP; }

constexpr uint32_t kKddCountCap = 511;
constexpr uint32_t kKddHostCountCap = 255;

}  // namespace

ConnectionTable::ConnectionTable(const ConnectionOptions& options, ServiceTable services)
    : options_(options),
      services_(std::move(services)),
      timeouts_{held_duration(options.tcp_timeout_us), held_duration(options.udp_timeout_us),
                held_duration(options.icmp_timeout_us), held_duration(options.close_linger_us)},
      fragments_(std::max(options.max_connections, 1u)),
      windows_(held_duration(options.time_window_us), options.host_window, options.max_connections) {
    options_.max_connections = std::max(options.max_connections, 1u);
}

ConnectionStats ConnectionTable::stats() const noexcept { return stats_; }

void ConnectionTable::reset() noexcept {
    std::vector<Block>().swap(blocks_);
    pool_size_ = 0;
    std::vector<uint32_t>().swap(free_);
    std::vector<Slot>().swap(slots_);
    for (auto& queue : timers_) std::vector<TimerEntry>().swap(queue);
    std::fill(std::begin(live_), std::end(live_), 0);
    next_due_ = std::numeric_limits<int64_t>::max();
    newest_us_ = std::numeric_limits<int64_t>::min();
    std::vector<TimerEntry>().swap(flushing_);
    flush_started_ = false;
    fragments_.clear();
    windows_.clear();
    stats_.open_connections = 0;
}

// ---- Packets

void ConnectionTable::add(const TransportFacts& facts, std::vector<ConnectionRecord>& ended) {
    if (facts.time_us != held_time(facts.time_us)) {
        TransportFacts held = facts;
        held.time_us = held_time(facts.time_us);
        add(held, ended);
        return;
    }
    move_time(facts.time_us, ended);
    switch (facts.kind) {
        case TransportKind::Layer4: take_layer4(facts, ended); break;
        case TransportKind::LaterFragment: take_later_fragment(facts); break;
        case TransportKind::LaterFragmentV6: ++stats_.unattributed_fragments; break;
        case TransportKind::OtherProtocol: ++stats_.other_protocol; break;
        case TransportKind::Unusable: break;
    }
}

void ConnectionTable::expire_until(int64_t now_us, std::vector<ConnectionRecord>& ended) {
    move_time(held_time(now_us), ended);
}

void ConnectionTable::move_time(int64_t time_us, std::vector<ConnectionRecord>& ended) {
    newest_us_ = std::max(newest_us_, time_us);
    if (newest_us_ >= next_due_) expire(ended);
    fragments_.forget_until(newest_us_);
}

void ConnectionTable::take_layer4(const TransportFacts& facts, std::vector<ConnectionRecord>& ended) {
    Probe probe = probe_of(facts);
    uint32_t index = find(probe);
    bool syn = facts.protocol == kProtoTCP && (facts.tcp_flags & (kTcpSyn | kTcpAck)) == kTcpSyn;
    if (index != kNone && syn && is_closing(at(index))) {
        end_connection(index, ended);
        index = kNone;
    }
    if (index == kNone) {
        if (stats_.open_connections >= options_.max_connections) evict(ended);
        index = create(facts, probe);
    }
    Connection& connection = at(index);
    bool forward = !probe.either_way ||
                   (connection.originator_high == probe.src_high && connection.originator_port == probe.src_port &&
                    (probe.ip_version == 4 || connection.originator_low == probe.src_low));
    // The flags first: a connection that starts closing needs room in a queue, which may throw.
    if (facts.protocol == kProtoTCP) count_tcp_flags(index, facts.tcp_flags, forward);
    count_packet(connection, facts, forward, facts.payload);
    if (facts.first_fragment) remember_datagram(facts, index, forward);
}

void ConnectionTable::take_later_fragment(const TransportFacts& facts) {
    Datagram* datagram = fragments_.find(DatagramKey::of(facts));
    if (datagram == nullptr || at(datagram->connection).serial != datagram->connection_serial) {
        ++stats_.unattributed_fragments;
        return;
    }
    bool wrong = datagram->add_fragment(facts.fragment_offset, facts.ip_payload);
    Connection& connection = at(datagram->connection);
    connection.wrong_fragment += wrong ? 1 : 0;
    count_packet(connection, facts, datagram->from_originator, facts.payload);
}

void ConnectionTable::count_packet(Connection& connection, const TransportFacts& facts, bool from_originator,
                                   uint32_t payload) {
    connection.end_us = std::max(connection.end_us, facts.time_us);
    if (from_originator) {
        ++connection.src_packets;
        connection.src_bytes += payload;
    } else {
        ++connection.dst_packets;
        connection.dst_bytes += payload;
    }
    connection.urgent += (facts.tcp_flags & kTcpUrg) != 0 ? 1 : 0;
}

void ConnectionTable::count_tcp_flags(uint32_t index, uint8_t flags, bool from_originator) {
    Connection& connection = at(index);
    uint8_t seen = connection.tcp_seen;
    bool syn = (flags & kTcpSyn) != 0;
    bool ack = (flags & kTcpAck) != 0;
    bool rst = (flags & kTcpRst) != 0;
    bool first_rst = rst && (seen & (kOriginatorRst | kResponderRst)) == 0;
    if (from_originator) {
        if (syn && !ack) seen |= kOriginatorSyn;
        if ((flags & kTcpFin) != 0) seen |= kOriginatorFin;
        if (rst) seen |= kOriginatorRst;
    } else {
        if (syn && ack) seen |= kResponderSynAck;
        if ((flags & kTcpFin) != 0) seen |= kResponderFin;
        if (rst) seen |= kResponderRst;
        if (first_rst) seen |= kResponderRstFirst;
    }
    bool was_closing = is_closing(connection);
    uint8_t before = connection.tcp_seen;
    connection.tcp_seen = seen;
    if (!was_closing && is_closing(connection)) {
        try {
            make_closing(index);
        } catch (...) {
            connection.tcp_seen = before;
            throw;
        }
    }
}

void ConnectionTable::remember_datagram(const TransportFacts& facts, uint32_t index, bool from_originator) {
    Datagram datagram{index, at(index).serial, from_originator, newest_us_, 0, {}};
    if (facts.ip_payload > 0) datagram.covered.emplace_back(0, facts.ip_payload);
    fragments_.remember(DatagramKey::of(facts), std::move(datagram));
}

// ---- Connections

ConnectionTable::Probe ConnectionTable::probe_of(const TransportFacts& facts) noexcept {
    Probe probe{};
    probe.src_high = address_half(facts.src, 0);
    probe.src_low = address_half(facts.src, 8);
    probe.dst_high = address_half(facts.dst, 0);
    probe.dst_low = address_half(facts.dst, 8);
    probe.ip_version = facts.ip_version;
    probe.protocol = facts.protocol;
    const KeyPorts ports = key_ports(facts);
    probe.src_port = ports.src;
    probe.dst_port = ports.dst;
    probe.either_way = ports.either_way;
    probe.hash = facts.key_hash;
    return probe;
}

// IPv4 addresses lie wholly in the upper halves, so an IPv4 key is compared on the first line.
bool ConnectionTable::matches(const Connection& connection, const Probe& probe) const noexcept {
    if (connection.ip_version != probe.ip_version || connection.protocol != probe.protocol) return false;
    bool six = probe.ip_version == 6;
    bool forward = connection.originator_high == probe.src_high && connection.originator_port == probe.src_port &&
                   connection.responder_high == probe.dst_high && connection.responder_port == probe.dst_port &&
                   (!six || (connection.originator_low == probe.src_low && connection.responder_low == probe.dst_low));
    if (forward || !probe.either_way) return forward;
    return connection.originator_high == probe.dst_high && connection.originator_port == probe.dst_port &&
           connection.responder_high == probe.src_high && connection.responder_port == probe.src_port &&
           (!six || (connection.originator_low == probe.dst_low && connection.responder_low == probe.src_low));
}

bool ConnectionTable::is_closing(const Connection& connection) noexcept {
    uint8_t seen = connection.tcp_seen;
    bool both_fins = (seen & kOriginatorFin) != 0 && (seen & kResponderFin) != 0;
    return both_fins || (seen & (kOriginatorRst | kResponderRst)) != 0;
}

void ConnectionTable::prefetch_slot(const TransportFacts& facts) const noexcept {
    if (facts.kind == TransportKind::Layer4 && !slots_.empty()) __builtin_prefetch(&slots_[facts.key_hash & mask()]);
}

void ConnectionTable::prefetch_connection(const TransportFacts& facts) const noexcept {
    if (facts.kind != TransportKind::Layer4 || slots_.empty()) return;
    // The first slot of the run whose hash is the key's: at three quarters' load a connection is
    // often a few places past its home. A short look, since the prefetch only guesses.
    size_t slot = facts.key_hash & mask();
    for (int step = 0; step < kPrefetchSteps && slots_[slot].index != kNone; ++step, slot = (slot + 1) & mask()) {
        if (slots_[slot].hash != facts.key_hash) continue;
        const Connection& connection = at(slots_[slot].index);
        __builtin_prefetch(&connection);
        // IPv6 keys reach into the second line.
        if (facts.ip_version == 6) __builtin_prefetch(&connection.originator_low);
        return;
    }
}

uint32_t ConnectionTable::find(const Probe& probe) const noexcept {
    if (slots_.empty()) return kNone;
    for (size_t slot = probe.hash & mask(); slots_[slot].index != kNone; slot = (slot + 1) & mask()) {
        if (slots_[slot].hash == probe.hash && matches(at(slots_[slot].index), probe)) return slots_[slot].index;
    }
    return kNone;
}

// Everything that allocates comes first, so that a failure leaves no half-made connection.
uint32_t ConnectionTable::create(const TransportFacts& facts, const Probe& probe) {
    if ((stats_.open_connections + 1) * 4 > slots_.size() * 3) grow_slots();
    Timer timer = timer_of(facts.protocol);
    std::vector<TimerEntry>& queue = timers_[timer];
    if (queue.size() == queue.capacity()) queue.reserve(std::max<size_t>(16, 2 * queue.size()));
    uint32_t index = new_index();

    Connection& connection = at(index);
    connection = Connection{};
    // A first packet that is a SYN-ACK answers a SYN not seen: its receiver opened the connection.
    bool answer = facts.protocol == kProtoTCP && (facts.tcp_flags & (kTcpSyn | kTcpAck)) == (kTcpSyn | kTcpAck);
    connection.originator_high = answer ? probe.dst_high : probe.src_high;
    connection.originator_low = answer ? probe.dst_low : probe.src_low;
    connection.originator_port = answer ? probe.dst_port : probe.src_port;
    connection.responder_high = answer ? probe.src_high : probe.dst_high;
    connection.responder_low = answer ? probe.src_low : probe.dst_low;
    connection.responder_port = answer ? probe.src_port : probe.dst_port;
    connection.ip_version = facts.ip_version;
    connection.protocol = facts.protocol;
    connection.timer = timer;
    connection.service = is_tcp_or_udp(facts.protocol)
                             ? services_.of_ports(facts.protocol, connection.originator_port, connection.responder_port)
                             : ServiceTable::of_icmp(facts.ip_version, facts.icmp_type, facts.icmp_code);
    connection.hash = probe.hash;
    connection.start_us = connection.end_us = facts.time_us;
    connection.serial = next_serial_++;
    connection.input = facts.input;

    size_t slot = probe.hash & mask();
    while (slots_[slot].index != kNone) slot = (slot + 1) & mask();
    slots_[slot] = Slot{index, probe.hash};
    ++live_[timer];
    ++stats_.open_connections;
    schedule(index);
    return index;
}

// A free place in the pool, from the free list or a new one. Throws std::bad_alloc.
uint32_t ConnectionTable::new_index() {
    if (!free_.empty()) {
        uint32_t index = free_.back();
        free_.pop_back();
        return index;
    }
    if (pool_size_ >= kNone - 1) throw std::bad_alloc();
    if (free_.capacity() < size_t{pool_size_} + 1) free_.reserve(std::max<size_t>(64, 2 * size_t{pool_size_}));
    if (pool_size_ % kBlockSize == 0) {
        if (blocks_.size() == blocks_.capacity()) blocks_.reserve(std::max<size_t>(8, 2 * blocks_.size()));
        blocks_.push_back(map_block());
    }
    return pool_size_++;
}

// Twice the size is mapped, and what lies outside the aligned block given back.
ConnectionTable::Block ConnectionTable::map_block() {
    // cppcheck-suppress invalidFunctionArg ; an anonymous mapping takes -1 for its descriptor
    void* mapped = mmap(nullptr, 2 * kBlockBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    auto* start = static_cast<std::byte*>(mapped);
    size_t before = (kBlockBytes - reinterpret_cast<uintptr_t>(start) % kBlockBytes) % kBlockBytes;
    if (before > 0) munmap(start, before);
    munmap(start + before + kBlockBytes, kBlockBytes - before);
    madvise(start + before, kBlockBytes, MADV_HUGEPAGE);  // only a hint: refused, the pool works alike
    auto* block = reinterpret_cast<Connection*>(start + before);
    std::uninitialized_default_construct_n(block, kBlockSize);
    return Block(block);
}

void ConnectionTable::UnmapBlock::operator()(Connection* block) const noexcept { munmap(block, kBlockBytes); }

// A flush ends every connection: it leaves the hash table and the timer queues to be emptied
// once, at its end.
void ConnectionTable::release(uint32_t index) noexcept {
    Connection& connection = at(index);
    if (!flush_started_) erase_slot(index);
    Timer timer = static_cast<Timer>(connection.timer);
    --live_[timer];
    --stats_.open_connections;
    connection.serial = 0;
    connection.timer = kTimers;
    free_.push_back(index);  // within the capacity reserved when the pool grew
    if (!flush_started_) settle(timer);
}

void ConnectionTable::grow_slots() {
    std::vector<Slot> previous(std::max(kMinSlots, 2 * slots_.size()), Slot{kNone, 0});
    previous.swap(slots_);
    for (const Slot& entry : previous) {
        if (entry.index == kNone) continue;
        size_t slot = entry.hash & mask();
        while (slots_[slot].index != kNone) slot = (slot + 1) & mask();
        slots_[slot] = entry;
    }
}

// Takes the connection's entry out of the hash table.
void ConnectionTable::erase_slot(uint32_t index) noexcept {
    size_t hole = at(index).hash & mask();
    while (slots_[hole].index != index) hole = (hole + 1) & mask();
    close_gap(
        slots_, hole, [](const Slot& taken) { return taken.index != kNone; },
        [](const Slot& taken) { return taken.hash; }, [](Slot& emptied) { emptied.index = kNone; });
}

// ---- Timers

namespace {

// Heap order: the entry with the earliest (end, start, creation) on top. An object, not a
// function, so that the heap algorithms inline it.
struct IsLater {
    template <class Entry>
    bool operator()(const Entry& a, const Entry& b) const noexcept {
        if (a.end_us != b.end_us) return a.end_us > b.end_us;
        if (a.start_us != b.start_us) return a.start_us > b.start_us;
        return a.serial > b.serial;
    }
};
constexpr IsLater is_later;

// The timer queues are four-ary heaps: half the levels of a binary one, and the children of an
// entry side by side in two cache lines. A queue's keys are distinct (the creation numbers are),
// so its top is the same whatever the shape.
constexpr size_t kArity = 4;

template <class Entry>
void sift_up(std::vector<Entry>& heap, size_t at) noexcept {
    Entry moving = heap[at];
    while (at > 0) {
        size_t parent = (at - 1) / kArity;
        if (!is_later(heap[parent], moving)) break;
        heap[at] = heap[parent];
        at = parent;
    }
    heap[at] = moving;
}

template <class Entry>
void sift_down(std::vector<Entry>& heap, size_t at) noexcept {
    Entry moving = heap[at];
    while (true) {
        size_t first = at * kArity + 1;
        if (first >= heap.size()) break;
        size_t earliest = first;
        for (size_t child = first + 1; child < std::min(first + kArity, heap.size()); ++child) {
            if (is_later(heap[earliest], heap[child])) earliest = child;
        }
        if (!is_later(moving, heap[earliest])) break;
        heap[at] = heap[earliest];
        at = earliest;
    }
    heap[at] = moving;
}

// The queue must have room.
template <class Entry>
void push_entry(std::vector<Entry>& heap, const Entry& entry) {
    heap.push_back(entry);
    sift_up(heap, heap.size() - 1);
}

template <class Entry>
void pop_top(std::vector<Entry>& heap) noexcept {
    heap.front() = heap.back();
    heap.pop_back();
    if (!heap.empty()) sift_down(heap, 0);
}

template <class Entry>
void make_queue(std::vector<Entry>& heap) noexcept {
    for (size_t at = heap.size() / kArity + 1; at-- > 0;) {
        if (at < heap.size()) sift_down(heap, at);
    }
}

}  // namespace

ConnectionTable::Timer ConnectionTable::timer_of(uint8_t protocol) const noexcept {
    if (protocol == kProtoTCP) return kTcpTimer;
    return protocol == kProtoUDP ? kUdpTimer : kIcmpTimer;
}

void ConnectionTable::schedule(uint32_t index) {
    const Connection& connection = at(index);
    auto timer = static_cast<Timer>(connection.timer);
    std::vector<TimerEntry>& queue = timers_[timer];
    TimerEntry entry{connection.end_us, connection.start_us, connection.serial, index};
    push_entry(queue, entry);
    next_due_ = std::min(next_due_, deadline(timer, entry));
}

void ConnectionTable::make_closing(uint32_t index) {
    std::vector<TimerEntry>& queue = timers_[kClosingTimer];
    if (queue.size() == queue.capacity()) queue.reserve(std::max<size_t>(16, 2 * queue.size()));
    Connection& connection = at(index);
    auto left = static_cast<Timer>(connection.timer);
    --live_[left];
    connection.timer = kClosingTimer;
    ++live_[kClosingTimer];
    schedule(index);
    settle(left);
}

// Entries of connections gone (or moved to the closing queue) stay in their queue until they
// reach the top; a queue mostly made of them is rebuilt, so that it stays within a small multiple
// of its open connections.
void ConnectionTable::settle(Timer timer) noexcept {
    if (timers_[timer].size() > live_[timer] + live_[timer] / 2 + 64) compact(timer);
}

void ConnectionTable::clean_top(Timer timer) noexcept {
    std::vector<TimerEntry>& queue = timers_[timer];
    while (!queue.empty()) {
        const TimerEntry& top = queue.front();
        const Connection& connection = at(top.index);
        bool stale = connection.serial != top.serial || connection.timer != timer;
        if (!stale && connection.end_us == top.end_us) return;
        if (stale) {
            pop_top(queue);
        } else {
            queue.front().end_us = connection.end_us;
            sift_down(queue, 0);
        }
    }
}

void ConnectionTable::compact(Timer timer) noexcept {
    std::vector<TimerEntry>& queue = timers_[timer];
    auto gone = std::remove_if(queue.begin(), queue.end(), [this, timer](const TimerEntry& entry) {
        const Connection& connection = at(entry.index);
        return connection.serial != entry.serial || connection.timer != timer;
    });
    queue.erase(gone, queue.end());
    for (TimerEntry& entry : queue) entry.end_us = at(entry.index).end_us;
    make_queue(queue);
}

void ConnectionTable::refresh_next_due() noexcept {
    next_due_ = std::numeric_limits<int64_t>::max();
    for (int timer = 0; timer < kTimers; ++timer) {
        if (!timers_[timer].empty()) {
            next_due_ = std::min(next_due_, deadline(static_cast<Timer>(timer), timers_[timer].front()));
        }
    }
}

bool ConnectionTable::is_current(Timer timer, const TimerEntry& entry) const noexcept {
    const Connection& connection = at(entry.index);
    return connection.serial == entry.serial && connection.timer == timer && connection.end_us == entry.end_us;
}

bool ConnectionTable::comes_before(Timer timer, Timer other, bool by_deadline) const noexcept {
    const TimerEntry& entry = timers_[timer].front();
    const TimerEntry& current = timers_[other].front();
    int64_t first = by_deadline ? deadline(timer, entry) : 0;
    int64_t first_other = by_deadline ? deadline(other, current) : 0;
    return std::make_tuple(first, entry.end_us, entry.start_us, entry.serial) <
           std::make_tuple(first_other, current.end_us, current.start_us, current.serial);
}

// A queued end time is never later than its connection's, so each queue's top as queued comes no
// later than anything the queue holds: only the first top need be read from its connection, and
// put back in place should it have moved or gone.
ConnectionTable::Timer ConnectionTable::first_top(bool by_deadline) noexcept {
    while (true) {
        Timer best = kTimers;
        for (int candidate = 0; candidate < kTimers; ++candidate) {
            auto timer = static_cast<Timer>(candidate);
            if (timers_[timer].empty()) continue;
            if (best == kTimers || comes_before(timer, best, by_deadline)) best = timer;
        }
        if (best == kTimers || is_current(best, timers_[best].front())) return best;
        clean_top(best);
    }
}

void ConnectionTable::expire(std::vector<ConnectionRecord>& ended) {
    while (next_due_ <= newest_us_) {
        Timer timer = first_top(true);
        refresh_next_due();
        if (timer == kTimers || deadline(timer, timers_[timer].front()) > newest_us_) return;
        end_connection(timers_[timer].front().index, ended);
    }
}

void ConnectionTable::evict(std::vector<ConnectionRecord>& ended) {
    Timer timer = first_top(false);
    if (timer == kTimers) return;
    end_connection(timers_[timer].front().index, ended);
    ++stats_.evicted;
    refresh_next_due();
}

// The open connections, the first to end last, so that each end is a pop. The pool in index
// order is mostly in end order already (connections are made in time order, and most end soon
// after): an entry that ends after the next is set aside as it comes, the few set aside are
// sorted and merged back, so that a flush sorts those rather than all. The result is that of one
// sort, the keys being distinct.
void ConnectionTable::order_for_flush() {
    auto is_earlier = [](const TimerEntry& a, const TimerEntry& b) noexcept { return is_later(b, a); };
    flushing_.clear();
    flushing_.reserve(stats_.open_connections);
    std::vector<TimerEntry> out_of_order;
    for (uint32_t index = 0; index < pool_size_; ++index) {
        const Connection& connection = at(index);
        if (connection.serial == 0) continue;
        TimerEntry entry{connection.end_us, connection.start_us, connection.serial, index};
        while (!flushing_.empty() && is_earlier(entry, flushing_.back())) {
            out_of_order.push_back(flushing_.back());
            flushing_.pop_back();
        }
        flushing_.push_back(entry);
    }
    std::sort(out_of_order.begin(), out_of_order.end(), is_earlier);
    auto in_order = static_cast<std::ptrdiff_t>(flushing_.size());
    flushing_.insert(flushing_.end(), out_of_order.begin(), out_of_order.end());
    std::inplace_merge(flushing_.begin(), flushing_.begin() + in_order, flushing_.end(), is_earlier);
    std::reverse(flushing_.begin(), flushing_.end());
}

// A flush ends connections strewn over the pool and the history's chains, one after the other
// with nothing else to do in between: the connection a few places ahead is fetched, and the
// chains of one a little nearer, whose connection is in the cache by then.
inline void ConnectionTable::prefetch_ahead_of_flush() const noexcept {
    constexpr size_t kConnectionAhead = 16;
    constexpr size_t kChainsAhead = 8;
    size_t left = flushing_.size();
    if (left > kConnectionAhead) {
        const Connection& connection = at(flushing_[left - 1 - kConnectionAhead].index);
        __builtin_prefetch(&connection);
        __builtin_prefetch(&connection.originator_low);  // the record takes both lines
    }
    if (left > kChainsAhead) {
        const Connection& connection = at(flushing_[left - 1 - kChainsAhead].index);
        WindowRecord host{};
        host.host_high = connection.responder_high;
        host.host_low = connection.responder_low;
        host.ip_version = connection.ip_version;
        windows_.prefetch(host, connection.end_us);
    }
}

void ConnectionTable::flush(std::vector<ConnectionRecord>& ended) {
    ended.reserve(ended.size() + stats_.open_connections);
    while (!flush_some(ended, std::numeric_limits<size_t>::max())) {
    }
}

bool ConnectionTable::flush_some(std::vector<ConnectionRecord>& ended, size_t most) {
    if (!flush_started_) {
        order_for_flush();
        flush_started_ = true;
    }
    for (size_t done = 0; done < most && !flushing_.empty(); ++done) {
        prefetch_ahead_of_flush();
        end_connection(flushing_.back().index, ended);
        flushing_.pop_back();
    }
    if (!flushing_.empty()) return false;
    std::vector<TimerEntry>().swap(flushing_);
    std::fill(slots_.begin(), slots_.end(), Slot{kNone, 0});
    for (auto& queue : timers_) queue.clear();
    flush_started_ = false;
    refresh_next_due();
    return true;
}

// ---- Records

void ConnectionTable::end_connection(uint32_t index, std::vector<ConnectionRecord>& ended) {
    ConnectionRecord& record = ended.emplace_back();
    try {
        fill_record(at(index), record);
        windows_.add(record);
    } catch (...) {
        ended.pop_back();
        throw;
    }
    if (options_.kdd_compat) shape_for_kdd(record);
    release(index);
    ++stats_.connections;
}

Flag ConnectionTable::tcp_flag(uint8_t seen) noexcept {
    bool syn = (seen & kOriginatorSyn) != 0;
    bool syn_ack = (seen & kResponderSynAck) != 0;
    bool originator_fin = (seen & kOriginatorFin) != 0;
    bool responder_fin = (seen & kResponderFin) != 0;
    bool originator_rst = (seen & kOriginatorRst) != 0;
    bool responder_rst = (seen & kResponderRst) != 0;
    if (!syn && !syn_ack) return Flag::OTH;
    if (!syn) return responder_rst ? Flag::RSTRH : responder_fin ? Flag::SHR : Flag::OTH;
    if (!syn_ack) {
        if (responder_rst) return Flag::REJ;
        if (originator_rst) return Flag::RSTOS0;
        return originator_fin ? Flag::SH : Flag::S0;
    }
    if (originator_rst || responder_rst) return (seen & kResponderRstFirst) != 0 ? Flag::RSTR : Flag::RSTO;
    if (originator_fin && responder_fin) return Flag::SF;
    if (originator_fin) return Flag::S2;
    return responder_fin ? Flag::S3 : Flag::S1;
}

void ConnectionTable::fill_record(const Connection& connection, ConnectionRecord& record) const noexcept {
    bool ports = is_tcp_or_udp(connection.protocol);
    int64_t whole_seconds = (connection.end_us - connection.start_us) / kMicrosPerSecond;
    record.duration = static_cast<uint32_t>(std::min<int64_t>(whole_seconds, std::numeric_limits<uint32_t>::max()));
    record.protocol_type = connection.protocol == kProtoTCP   ? ProtocolType::Tcp
                           : connection.protocol == kProtoUDP ? ProtocolType::Udp
                                                              : ProtocolType::Icmp;
    record.service = connection.service;
    record.flag = connection.protocol == kProtoTCP ? tcp_flag(connection.tcp_seen) : Flag::SF;
    record.src_bytes = connection.src_bytes;
    record.dst_bytes = connection.dst_bytes;
    bool same_address = connection.originator_high == connection.responder_high &&
                        connection.originator_low == connection.responder_low;
    record.land = same_address && (!ports || connection.originator_port == connection.responder_port) ? 1 : 0;
    record.wrong_fragment = connection.wrong_fragment;
    record.urgent = connection.urgent;
    record.start_us = connection.start_us;
    record.end_us = connection.end_us;
    record.ip_version = connection.ip_version;
    write_address(record.src_ip, connection.originator_high, connection.originator_low);
    write_address(record.dst_ip, connection.responder_high, connection.responder_low);
    record.src_port = ports ? connection.originator_port : 0;
    record.dst_port = ports ? connection.responder_port : 0;
    record.ip_proto = connection.protocol;
    record.src_packets = connection.src_packets;
    record.dst_packets = connection.dst_packets;
    record.input = connection.input;
}

void ConnectionTable::shape_for_kdd(ConnectionRecord& record) noexcept {
    record.count = std::min(record.count, kKddCountCap);
    record.srv_count = std::min(record.srv_count, kKddCountCap);
    record.dst_host_count = std::min(record.dst_host_count, kKddHostCountCap);
    record.dst_host_srv_count = std::min(record.dst_host_srv_count, kKddHostCountCap);
    for (double* rate : {&record.serror_rate, &record.srv_serror_rate, &record.rerror_rate, &record.srv_rerror_rate,
                         &record.same_srv_rate, &record.diff_srv_rate, &record.srv_diff_host_rate,
                         &record.dst_host_same_srv_rate, &record.dst_host_diff_srv_rate,
                         &record.dst_host_same_src_port_rate, &record.dst_host_srv_diff_host_rate,
                         &record.dst_host_serror_rate, &record.dst_host_srv_serror_rate, &record.dst_host_rerror_rate,
                         &record.dst_host_srv_rerror_rate}) {
        *rate = round_rate(*rate);
    }
    if (record.flag == Flag::RSTRH) record.flag = Flag::RSTR;
    if (record.flag == Flag::SHR) record.flag = Flag::SH;
}

}  // namespace varnel::connections
