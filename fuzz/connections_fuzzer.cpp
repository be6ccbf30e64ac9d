// libFuzzer harness for the connection sink: transport facts decoded from arbitrary frames of any
// link-layer row, fed in sequence to the connection table with small, input-chosen options.
//
// Input layout (little-endian; missing bytes read as zero):
//   0      link row (low 4 bits, modulo the table), bit 4: VLAN tags looked through, bit 5: kdd_compat
//   1      max_connections 1-8 (low 3 bits), host_window 1-8 (next 3 bits)
//   2      time-outs: each of TCP, UDP, ICMP, linger and time window from a small set of values
//   3..    records: u16 length (top bit: a wall-clock tick instead of a frame), i16 time step in
//          units of 10 ms, then the frame's bytes (cut at the end of the input)
// Each frame is copied into a heap buffer of exactly its length, so a read past it is an
// AddressSanitizer report. Every record is checked against the definition's invariants and its
// traffic columns against a brute-force count over the records emitted before it.
#include "connections.hpp"
#include "link_layer.hpp"
#include "transport.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace {

using namespace varnel::connections;

constexpr size_t kHeaderSize = 3;
constexpr size_t kRecordPrefix = 4;
constexpr int64_t kStepUs = 10'000;
constexpr int64_t kStartUs = int64_t{1'700'000'000} * 1'000'000;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "connections_fuzzer: %s\n", what);
    std::abort();
}

uint32_t read_le(const uint8_t* data, size_t size, size_t offset, size_t width) {
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        if (offset + i < size) value |= uint32_t{data[offset + i]} << (8 * i);
    }
    return value;
}

ConnectionOptions options_of(uint8_t limits, uint8_t times, bool kdd_compat) {
    static constexpr int64_t kTimes[] = {0, 300'000, 2'000'000, 60'000'000};
    ConnectionOptions options;
    options.max_connections = 1 + (limits & 7);
    options.host_window = 1 + ((limits >> 3) & 7);
    options.tcp_timeout_us = kTimes[times & 3];
    options.udp_timeout_us = kTimes[(times >> 2) & 3];
    options.icmp_timeout_us = kTimes[(times >> 4) & 1];
    options.close_linger_us = kTimes[(times >> 5) & 1];
    options.time_window_us = kTimes[(times >> 6) & 3];
    options.kdd_compat = kdd_compat;
    return options;
}

// ---- A brute-force count of the windows, straight from their definition.

struct Held {
    int64_t end_us;
    uint8_t ip_version;
    Address host;
    ServiceId service;
    uint16_t src_port;
    Flag flag;

    bool syn_error() const { return flag == Flag::S0 || flag == Flag::S1 || flag == Flag::S2 || flag == Flag::S3; }
    bool rej_error() const { return flag == Flag::REJ; }
    bool same_host(const Held& other) const { return ip_version == other.ip_version && host == other.host; }
};

struct Expected {
    uint32_t host = 0, service = 0, host_syn = 0, host_rej = 0, host_service = 0, host_port = 0;
    uint32_t service_syn = 0, service_rej = 0, service_other_host = 0;

    void count(const Held& other, const Held& self) {
        bool host_match = other.same_host(self);
        bool service_match = other.service == self.service;
        host += host_match;
        host_syn += host_match && other.syn_error();
        host_rej += host_match && other.rej_error();
        host_service += host_match && service_match;
        host_port += host_match && other.src_port == self.src_port;
        service += service_match;
        service_syn += service_match && other.syn_error();
        service_rej += service_match && other.rej_error();
        service_other_host += service_match && !host_match;
    }
};

class WindowModel {
public:
    explicit WindowModel(const ConnectionOptions& options) : options_(options) {}

    void check(const ConnectionRecord& record) {
        // kdd_compat renames RSTRH and SHR only, neither of them an error.
        Held self{record.end_us, record.ip_version, record.dst_ip, record.service, record.src_port, record.flag};
        Expected in_time, in_hosts;
        in_time.count(self, self);
        in_hosts.count(self, self);
        for (const Held& held : history_) {
            if (held.end_us >= self.end_us - options_.time_window_us && held.end_us <= self.end_us) {
                in_time.count(held, self);
            }
        }
        size_t earlier = std::min<size_t>(options_.host_window - 1, history_.size());
        for (size_t index = history_.size() - earlier; index < history_.size(); ++index) {
            in_hosts.count(history_[index], self);
        }
        compare(record, in_time, in_hosts);
        history_.push_back(self);
        if (history_.size() > options_.max_connections) history_.pop_front();
    }

private:
    double rate(uint32_t part, uint32_t whole) const {
        double exact = static_cast<double>(part) / static_cast<double>(whole);
        return options_.kdd_compat ? round_rate(exact) : exact;
    }
    uint32_t capped(uint32_t count, uint32_t cap) const { return options_.kdd_compat ? std::min(count, cap) : count; }

    void compare(const ConnectionRecord& r, const Expected& t, const Expected& h) const {
        bool same = r.count == capped(t.host, 511) && r.srv_count == capped(t.service, 511) &&
                    r.serror_rate == rate(t.host_syn, t.host) && r.rerror_rate == rate(t.host_rej, t.host) &&
                    r.srv_serror_rate == rate(t.service_syn, t.service) &&
                    r.srv_rerror_rate == rate(t.service_rej, t.service) &&
                    r.same_srv_rate == rate(t.host_service, t.host) &&
                    r.diff_srv_rate == rate(t.host - t.host_service, t.host) &&
                    r.srv_diff_host_rate == rate(t.service_other_host, t.service) &&
                    r.dst_host_count == capped(h.host, 255) && r.dst_host_srv_count == capped(h.service, 255) &&
                    r.dst_host_same_srv_rate == rate(h.host_service, h.host) &&
                    r.dst_host_diff_srv_rate == rate(h.host - h.host_service, h.host) &&
                    r.dst_host_same_src_port_rate == rate(h.host_port, h.host) &&
                    r.dst_host_srv_diff_host_rate == rate(h.service_other_host, h.service) &&
                    r.dst_host_serror_rate == rate(h.host_syn, h.host) &&
                    r.dst_host_srv_serror_rate == rate(h.service_syn, h.service) &&
                    r.dst_host_rerror_rate == rate(h.host_rej, h.host) &&
                    r.dst_host_srv_rerror_rate == rate(h.service_rej, h.service);
        if (!same) fail("traffic columns differ from a brute-force count of the windows");
    }

    ConnectionOptions options_;
    std::deque<Held> history_;
};

// ---- What every record keeps, whatever the input.

void check_record(const ConnectionRecord& r, const ServiceTable& services) {
    if (r.end_us < r.start_us) fail("end_time before start_time");
    int64_t whole_seconds = (r.end_us - r.start_us) / 1'000'000;
    if (r.duration != static_cast<uint32_t>(std::min<int64_t>(whole_seconds, UINT32_MAX))) fail("duration");
    if (r.ip_version != 4 && r.ip_version != 6) fail("IP version");
    if (r.service >= services.names().size()) fail("service id without a name");
    if (static_cast<size_t>(r.flag) >= std::size(kFlagNames)) fail("flag id without a name");
    if (r.src_packets + uint64_t{r.dst_packets} == 0) fail("a record of no packet");
    if (r.land > 1) fail("land not 0 or 1");
    bool icmp = r.protocol_type == ProtocolType::Icmp;
    if (icmp != (r.ip_proto == (r.ip_version == 4 ? 1 : 58))) fail("ICMP record of another protocol");
    if (icmp && (r.src_port != 0 || r.dst_port != 0 || r.dst_packets != 0)) fail("ICMP ports or answers");
    if (r.protocol_type != ProtocolType::Tcp && (r.flag != Flag::SF || r.urgent != 0)) fail("TCP state outside TCP");
    if (r.wrong_fragment != 0 && r.ip_version != 4) fail("IPv6 wrong fragment");
}

struct Run {
    ConnectionTable table;
    WindowModel model;
    uint64_t records = 0;

    void check(std::vector<ConnectionRecord>& ended) {
        for (const ConnectionRecord& record : ended) {
            check_record(record, table.services());
            model.check(record);
            ++records;
        }
        ended.clear();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeaderSize) return 0;
    const auto& rows = packet_decoding::kLinkLayers;
    const packet_decoding::LinkLayer& link = rows[(data[0] & 0x0F) % std::size(rows)];
    packet_decoding::LinkOptions link_options{(data[0] & 0x10) != 0};
    ConnectionOptions options = options_of(data[1], data[2], (data[0] & 0x20) != 0);
    Run run{ConnectionTable(options, ServiceTable()), WindowModel(options)};
    std::vector<ConnectionRecord> ended;

    int64_t now_us = kStartUs;
    size_t at = kHeaderSize;
    while (at < size) {
        uint32_t length = read_le(data, size, at, 2);
        now_us += kStepUs * static_cast<int16_t>(read_le(data, size, at + 2, 2));
        at += kRecordPrefix;
        if (length & 0x8000) {
            run.table.expire_until(now_us, ended);
            run.check(ended);
            continue;
        }
        size_t captured = std::min<size_t>(length, at < size ? size - at : 0);
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[captured]);
        if (captured > 0) std::memcpy(bytes.get(), data + at, captured);
        at += captured;
        const packet_decoding::CapturedFrame frame{bytes.get(), captured};
        packet_decoding::NetworkStart start = link.locate(frame, link_options);
        if (start.outcome != packet_decoding::LinkOutcome::IPv4 && start.outcome != packet_decoding::LinkOutcome::IPv6)
            continue;
        auto protocol = start.outcome == packet_decoding::LinkOutcome::IPv4 ? packet_decoding::NetworkProtocol::IPv4
                                                                            : packet_decoding::NetworkProtocol::IPv6;
        TransportFacts facts;
        if (!decode_transport(frame, start.offset, protocol, now_us, facts)) continue;
        if (facts.kind == TransportKind::Layer4 && facts.payload > facts.ip_payload) fail("payload above the IP payload");
        run.table.add(facts, ended);
        run.check(ended);
        if (run.table.stats().open_connections > options.max_connections) fail("more open than max_connections");
    }
    run.table.flush(ended);
    run.check(ended);
    ConnectionStats stats = run.table.stats();
    if (stats.open_connections != 0) fail("connections open after the flush");
    if (stats.connections != run.records) fail("connections counted and records emitted differ");
    return 0;
}
