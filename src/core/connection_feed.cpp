#include "connection_feed.hpp"

#include "transport.hpp"

#include <ctime>

namespace varnel::connections {

void ConnectionFeed::make_room() noexcept {
    if (taken_ < ready_.size()) return;
    ready_.clear();
    taken_ = 0;
}

void ConnectionFeed::take(const packet_decoding::NetworkPacket& packet, uint32_t input) {
    TransportFacts& facts = waiting_[(first_waiting_ + waiting_count_) % kAhead];
    const int64_t time_us = packet_time_us(packet.header->ts.tv_sec, packet.header->ts.tv_usec);
    if (!decode_transport(packet.frame, packet.offset, packet.protocol, time_us, facts)) return;
    facts.input = input;
    table_.prefetch_slot(facts);
    if (waiting_count_ >= kAhead / 2) {
        table_.prefetch_connection(waiting_[(first_waiting_ + waiting_count_ - kAhead / 2) % kAhead]);
    }
    if (++waiting_count_ == kAhead) add_oldest();
}

// A frame leaves the queue only once the table has taken it: a table that throws keeps it.
void ConnectionFeed::add_oldest() {
    make_room();
    table_.add(waiting_[first_waiting_], ready_);
    first_waiting_ = (first_waiting_ + 1) % kAhead;
    --waiting_count_;
}

void ConnectionFeed::add_waiting() {
    while (waiting_count_ > 0) add_oldest();
}

void ConnectionFeed::input_ended() {
    add_waiting();
    if (!continuous_) flush_ = Flush::ThenReset;
}

void ConnectionFeed::read_ended() {
    add_waiting();
    flush_ = Flush::Final;
}

void ConnectionFeed::idle(int64_t now_us) {
    add_waiting();
    if (busy()) return;
    make_room();
    table_.expire_until(now_us, ready_);
}

const ConnectionRecord* ConnectionFeed::next() {
    if (taken_ < ready_.size()) return &ready_[taken_++];
    make_room();
    if (flush_ != Flush::None && table_.flush_some(ready_, kFlushChunk)) {
        if (flush_ == Flush::ThenReset) table_.reset();
        flush_ = Flush::None;
    }
    return taken_ < ready_.size() ? &ready_[taken_++] : nullptr;
}

int64_t wall_clock_us() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return packet_time_us(now.tv_sec, now.tv_nsec / 1000);
}

}  // namespace varnel::connections
