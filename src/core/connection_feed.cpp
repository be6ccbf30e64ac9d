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
    TransportFacts facts;
    const int64_t time_us = packet_time_us(packet.header->ts.tv_sec, packet.header->ts.tv_usec);
    if (!decode_transport(packet.frame, packet.offset, packet.protocol, time_us, facts)) return;
    facts.input = input;
    make_room();
    table_.add(facts, ready_);
}

void ConnectionFeed::input_ended() {
    if (!continuous_) flush_ = Flush::ThenReset;
}

void ConnectionFeed::idle(int64_t now_us) {
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
