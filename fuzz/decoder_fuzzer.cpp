// libFuzzer harness for the frame decoder `_parse_packet_c`.
//
// Input layout (little-endian; missing bytes read as zero):
//   0..1   captured-length limit: caplen = min(limit, bytes after the 14-byte prefix)
//   2..5   extra wire bytes: len = caplen + extra, saturated at 2^32 - 1 (so caplen <= len)
//   6..9   time stamp seconds (signed), 10..13 microseconds (not range checked, as libpcap does not)
//   14..   the frame
// The frame is copied into a heap buffer of exactly caplen bytes, so any read past the captured
// bytes is an AddressSanitizer report. Each input is decoded into two records, one zeroed and one
// filled with a byte pattern (the state a previous frame leaves), and compared field by field
// with a straightforward reference decoder written from the decoding rules: the fields a path
// does not write must keep their earlier values.
#include "varnel/core/base/grapnel.h"
#include "link_layer.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kPrefixSize = 14;

uint32_t read_le(const uint8_t* data, size_t size, size_t offset, size_t width) {
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        if (offset + i < size) value |= uint32_t{data[offset + i]} << (8 * i);
    }
    return value;
}

// ---- Reference decoder: byte-at-a-time reads behind an explicit length test.

struct Frame {
    const uint8_t* bytes;
    size_t length;
    bool covers(size_t offset, size_t count) const { return offset + count <= length; }
    unsigned at(size_t offset) const { return bytes[offset]; }
    unsigned be16(size_t offset) const { return at(offset) << 8 | at(offset + 1); }
    uint32_t be32(size_t offset) const { return uint32_t{be16(offset)} << 16 | be16(offset + 2); }
};

void reference_layer4(const Frame& f, size_t l4, PacketRecord& r) {
    switch (r.ip_proto) {
        case 6:
            r.src_port = f.covers(l4, 2) ? f.be16(l4) : 0;
            r.dst_port = f.covers(l4 + 2, 2) ? f.be16(l4 + 2) : 0;
            r.tcp_seq = f.covers(l4 + 4, 4) ? f.be32(l4 + 4) : 0;
            r.tcp_ack = f.covers(l4 + 8, 4) ? f.be32(l4 + 8) : 0;
            r.tcp_flags = f.covers(l4 + 13, 1) ? f.at(l4 + 13) : 0;
            r.urgent = (r.tcp_flags & 0x20) ? 1 : 0;
            if (r.ip_version == 4 && f.covers(l4, 4) && r.src_ip_v4 == r.dst_ip_v4 && r.src_port == r.dst_port)
                r.land = 1;
            break;
        case 17:
            r.src_port = f.covers(l4, 2) ? f.be16(l4) : 0;
            r.dst_port = f.covers(l4 + 2, 2) ? f.be16(l4 + 2) : 0;
            r.udp_length = f.covers(l4 + 4, 2) ? f.be16(l4 + 4) : 0;
            break;
        case 1:
        case 58:
            r.icmp_type = f.covers(l4, 1) ? f.at(l4) : 0;
            r.icmp_code = f.covers(l4 + 1, 1) ? f.at(l4 + 1) : 0;
            break;
        default: break;
    }
}

void reference_decode(const pcap_pkthdr& h, const Frame& f, PacketRecord& r) {
    if (!f.covers(0, 14)) {
        r.is_valid = 0;
        return;
    }
    r.is_valid = 1;
    r.tv_sec = h.ts.tv_sec;
    r.frame_length = h.len;
    r.timestamp = static_cast<double>(h.ts.tv_sec) + static_cast<double>(h.ts.tv_usec) / 1000000.0;
    std::memcpy(r.dst_mac, f.bytes, 6);
    std::memcpy(r.src_mac, f.bytes + 6, 6);
    r.wrong_fragment = 0;
    r.land = 0;
    r.ip_proto = 0;
    r.src_port = 0;
    r.dst_port = 0;
    unsigned eth_type = f.be16(12);
    if (eth_type == 0x0800) {
        if (!f.covers(0, 34)) {
            r.is_valid = 0;
            return;
        }
        r.ip_version = 4;
        std::memcpy(&r.src_ip_v4, f.bytes + 26, 4);
        std::memcpy(&r.dst_ip_v4, f.bytes + 30, 4);
        r.ip_id = static_cast<int32_t>(f.be16(18));
        r.ip_proto = static_cast<uint8_t>(f.at(23));
        unsigned frag = f.be16(20);
        if (frag & 0x3FFF) r.wrong_fragment = 1;  // more-fragments or a fragment offset
        if (frag & 0x1FFF) {                     // non-first fragment: payload, not a header
            if (r.ip_proto == 6) {
                r.tcp_flags = 0;
                r.tcp_seq = r.tcp_ack = 0;
                r.urgent = 0;
            } else if (r.ip_proto == 17) {
                r.udp_length = 0;
            } else if (r.ip_proto == 1 || r.ip_proto == 58) {
                r.icmp_type = r.icmp_code = 0;
            }
            return;
        }
        reference_layer4(f, 14 + 4 * (f.at(14) & 0x0F), r);
    } else if (eth_type == 0x86DD) {
        if (!f.covers(0, 54)) {
            r.is_valid = 0;
            return;
        }
        r.ip_version = 6;
        std::memcpy(r.src_ip_v6, f.bytes + 22, 16);
        std::memcpy(r.dst_ip_v6, f.bytes + 38, 16);
        r.ip_id = static_cast<int32_t>(f.be32(14) & 0xFFFFF);
        r.ip_proto = static_cast<uint8_t>(f.at(20));
        reference_layer4(f, 54, r);
    } else {
        r.is_valid = 0;
    }
}

// ---- Comparison and invariants.

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "decoder_fuzzer: %s\n", what);
    std::abort();
}

template <class T>
bool same(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;  // bitwise: doubles made of pattern bytes may be NaN
}

void compare(const PacketRecord& got, const PacketRecord& want) {
#define VARNEL_FIELD(name) \
    if (!same(got.name, want.name)) fail("field " #name " differs from the reference decoder");
    VARNEL_FIELD(is_valid) VARNEL_FIELD(timestamp) VARNEL_FIELD(tv_sec) VARNEL_FIELD(frame_length)
    VARNEL_FIELD(ip_version) VARNEL_FIELD(src_ip_v4) VARNEL_FIELD(dst_ip_v4) VARNEL_FIELD(src_ip_v6)
    VARNEL_FIELD(dst_ip_v6) VARNEL_FIELD(ip_id) VARNEL_FIELD(ip_proto) VARNEL_FIELD(wrong_fragment)
    VARNEL_FIELD(land) VARNEL_FIELD(src_port) VARNEL_FIELD(dst_port) VARNEL_FIELD(tcp_flags)
    VARNEL_FIELD(tcp_seq) VARNEL_FIELD(tcp_ack) VARNEL_FIELD(urgent) VARNEL_FIELD(udp_length)
    VARNEL_FIELD(icmp_type) VARNEL_FIELD(icmp_code) VARNEL_FIELD(src_mac) VARNEL_FIELD(dst_mac)
#undef VARNEL_FIELD
}

// What every consumer relies on after a decode marked valid.
void check_invariants(const PacketRecord& r) {
    if (!r.is_valid) return;
    if (r.ip_version != 4 && r.ip_version != 6) fail("valid record without IP version 4 or 6");
    if ((r.wrong_fragment | r.land) & ~1) fail("wrong_fragment or land not 0/1");
    if (r.land && (r.ip_version != 4 || r.ip_proto != 6)) fail("land outside IPv4 TCP");
    if ((r.src_port || r.dst_port) && r.ip_proto != 6 && r.ip_proto != 17) fail("ports for a portless protocol");
    if (r.ip_version == 6 && r.wrong_fragment) fail("IPv6 marked as a fragment");
}

void decode_and_check(const pcap_pkthdr& header, const uint8_t* frame, uint8_t fill) {
    PacketRecord got;
    std::memset(&got, fill, sizeof got);
    PacketRecord want = got;
    _parse_packet_c(&header, frame, &got);
    reference_decode(header, Frame{frame, header.caplen}, want);
    compare(got, want);
    check_invariants(got);
}

// Every row of the link-layer table on the same bytes, tags decoded or not: no read past the
// capture, and a valid record keeps the invariants. The Ethernet row without tags decodes as the
// plain decoder does.
void decode_every_link_layer(const pcap_pkthdr& header, const uint8_t* frame) {
    using namespace packet_decoding;
    for (const LinkLayer& link : kLinkLayers) {
        for (bool decode_vlan : {false, true}) {
            PacketRecord got;
            std::memset(&got, 0xA5, sizeof got);
            PacketRecord plain = got;
            LinkOutcome outcome = decode_frame(link, LinkOptions{decode_vlan}, &header, frame, &got);
            bool decoded = outcome == LinkOutcome::IPv4 || outcome == LinkOutcome::IPv6;
            if (decoded != (got.is_valid == 1)) fail("link outcome and record validity disagree");
            check_invariants(got);
            if (link.link_type == DLT_EN10MB && !decode_vlan) {
                _parse_packet_c(&header, frame, &plain);
                if (decoded) compare(got, plain);
                if (decoded != (plain.is_valid == 1)) fail("the Ethernet row and the plain decoder disagree");
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t available = size > kPrefixSize ? size - kPrefixSize : 0;
    size_t caplen = read_le(data, size, 0, 2);
    if (caplen > available) caplen = available;
    uint64_t wire = uint64_t{caplen} + read_le(data, size, 2, 4);

    pcap_pkthdr header{};
    header.caplen = static_cast<bpf_u_int32>(caplen);
    header.len = static_cast<bpf_u_int32>(wire > UINT32_MAX ? UINT32_MAX : wire);
    header.ts.tv_sec = static_cast<int32_t>(read_le(data, size, 6, 4));
    header.ts.tv_usec = read_le(data, size, 10, 4);

    // Exactly caplen bytes: one byte more read by the decoder is a heap-buffer-overflow report.
    std::unique_ptr<uint8_t[]> frame(new uint8_t[caplen]);
    if (caplen > 0) std::memcpy(frame.get(), data + kPrefixSize, caplen);

    decode_and_check(header, frame.get(), 0x00);
    decode_and_check(header, frame.get(), 0xA5);
    decode_every_link_layer(header, frame.get());

    // The record-to-features step (_calculate_kdd) needs a FeatureExtractor object, so an
    // interpreter: the read_pcap harness covers it, checking every feature row against the packet
    // dictionary of the same frame.
    return 0;
}
