// The per-packet record, the wire header layouts and the frame decoder, shared at build time
// by grapnel and moraine (each compiles its own inline copy of the decoder).
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

// One decoded frame. Addresses and MAC addresses in wire order, other numbers in host order.
// Each owner decodes every frame into one record; a path leaves the fields it does not write as
// the previous frame left them (zero in a fresh record).
struct PacketRecord {
    int32_t is_valid;          // 1 for a decoded IPv4/IPv6 frame, 0 for a frame to skip
    double timestamp;          // seconds since the epoch, microsecond fraction
    long tv_sec;               // whole seconds of the capture time
    uint32_t frame_length;     // length on the wire, not the captured length
    int32_t ip_version;        // 4 or 6
    uint32_t src_ip_v4;        // wire order
    uint32_t dst_ip_v4;        // wire order
    uint8_t src_ip_v6[16];
    uint8_t dst_ip_v6[16];
    int32_t ip_id;             // IPv4 identification, or the IPv6 flow label
    uint8_t ip_proto;          // IPv4 protocol, or the IPv6 fixed header's next header
    int32_t wrong_fragment;    // IPv4 fragment (more-fragments set or offset non-zero)
    int32_t land;              // IPv4 TCP with source == destination, address and port
    uint16_t src_port;
    uint16_t dst_port;
    uint8_t tcp_flags;
    uint32_t tcp_seq;
    uint32_t tcp_ack;
    int32_t urgent;            // the URG flag, not the urgent pointer
    uint16_t udp_length;
    uint8_t icmp_type;
    uint8_t icmp_code;
    uint8_t src_mac[6];
    uint8_t dst_mac[6];
};

// Wire layouts: used for their offsets and sizes. The frame buffer has no alignment guarantee,
// so fields are copied out with memcpy rather than read through a cast pointer.
#pragma pack(push, 1)
struct eth_header {
    uint8_t dst_mac[6];
    uint8_t src_mac[6];
    uint16_t eth_type;
};
struct ip_header {
    uint8_t v_hl;
    uint8_t tos;
    uint16_t total_len;
    uint16_t id;
    uint16_t frag_off;
    uint8_t ttl;
    uint8_t protocol;
    uint16_t checksum;
    uint32_t src_addr;
    uint32_t dst_addr;
};
struct ipv6_header {
    uint32_t v_tc_fl;
    uint16_t payload_len;
    uint8_t next_hdr;
    uint8_t hop_limit;
    uint8_t src_addr[16];
    uint8_t dst_addr[16];
};
struct tcp_header {
    uint16_t src_port;
    uint16_t dst_port;
    uint32_t seq;
    uint32_t ack;
    uint8_t off_res;
    uint8_t flags;
    uint16_t win;
    uint16_t sum;
    uint16_t urp;
};
struct udp_header {
    uint16_t src_port;
    uint16_t dst_port;
    uint16_t len;
    uint16_t sum;
};
struct icmp_header {
    uint8_t type;
    uint8_t code;
    uint16_t checksum;
};
#pragma pack(pop)

static_assert(sizeof(eth_header) == 14 && sizeof(ip_header) == 20 && sizeof(ipv6_header) == 40);
static_assert(sizeof(tcp_header) == 20 && sizeof(udp_header) == 8 && sizeof(icmp_header) == 4);

namespace packet_decoding {

inline constexpr uint16_t kEthTypeIPv4 = 0x0800;
inline constexpr uint16_t kEthTypeIPv6 = 0x86DD;
inline constexpr uint8_t kProtoICMP = 1;
inline constexpr uint8_t kProtoTCP = 6;
inline constexpr uint8_t kProtoUDP = 17;
inline constexpr uint8_t kProtoICMPv6 = 58;
inline constexpr size_t kIPv4Offset = sizeof(eth_header);
inline constexpr size_t kIPv6L4Offset = sizeof(eth_header) + sizeof(ipv6_header);
inline constexpr uint16_t kMoreFragments = 0x2000;
inline constexpr uint16_t kFragmentOffsetMask = 0x1FFF;

// The captured bytes of one frame; every read asks first whether its bytes are there.
struct CapturedFrame {
    const uint8_t* bytes;
    size_t captured_len;

    bool has(size_t offset, size_t size) const { return offset <= captured_len && size <= captured_len - offset; }
    uint8_t u8(size_t offset) const { return bytes[offset]; }
    uint16_t be16(size_t offset) const {
        return static_cast<uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
    }
    uint32_t be32(size_t offset) const {
        return (uint32_t{bytes[offset]} << 24) | (uint32_t{bytes[offset + 1]} << 16) |
               (uint32_t{bytes[offset + 2]} << 8) | uint32_t{bytes[offset + 3]};
    }
    uint32_t raw32(size_t offset) const {
        uint32_t value = 0;
        std::memcpy(&value, bytes + offset, sizeof value);
        return value;
    }
};

// Each layer-4 field is read only when all of its bytes were captured; a missing one reads 0.
inline uint16_t be16_or_zero(const CapturedFrame& frame, size_t offset) {
    return frame.has(offset, 2) ? frame.be16(offset) : 0;
}
inline uint32_t be32_or_zero(const CapturedFrame& frame, size_t offset) {
    return frame.has(offset, 4) ? frame.be32(offset) : 0;
}
inline uint8_t u8_or_zero(const CapturedFrame& frame, size_t offset) {
    return frame.has(offset, 1) ? frame.u8(offset) : 0;
}

inline void decode_tcp(const CapturedFrame& frame, size_t l4, PacketRecord* rec) {
    rec->src_port = be16_or_zero(frame, l4 + offsetof(tcp_header, src_port));
    rec->dst_port = be16_or_zero(frame, l4 + offsetof(tcp_header, dst_port));
    rec->tcp_flags = u8_or_zero(frame, l4 + offsetof(tcp_header, flags));
    rec->urgent = (rec->tcp_flags >> 5) & 1;
    rec->tcp_seq = be32_or_zero(frame, l4 + offsetof(tcp_header, seq));
    rec->tcp_ack = be32_or_zero(frame, l4 + offsetof(tcp_header, ack));
    bool ports_captured = frame.has(l4, 4);
    if (rec->ip_version == 4 && ports_captured && rec->src_ip_v4 == rec->dst_ip_v4 &&
        rec->src_port == rec->dst_port) {
        rec->land = 1;
    }
}

inline void decode_udp(const CapturedFrame& frame, size_t l4, PacketRecord* rec) {
    rec->src_port = be16_or_zero(frame, l4 + offsetof(udp_header, src_port));
    rec->dst_port = be16_or_zero(frame, l4 + offsetof(udp_header, dst_port));
    rec->udp_length = be16_or_zero(frame, l4 + offsetof(udp_header, len));
}

inline void decode_icmp(const CapturedFrame& frame, size_t l4, PacketRecord* rec) {
    rec->icmp_type = u8_or_zero(frame, l4 + offsetof(icmp_header, type));
    rec->icmp_code = u8_or_zero(frame, l4 + offsetof(icmp_header, code));
}

inline void decode_layer4(const CapturedFrame& frame, size_t l4, PacketRecord* rec) {
    switch (rec->ip_proto) {
        case kProtoTCP: decode_tcp(frame, l4, rec); break;
        case kProtoUDP: decode_udp(frame, l4, rec); break;
        case kProtoICMP:
        case kProtoICMPv6: decode_icmp(frame, l4, rec); break;
        default: break;
    }
}

// A non-first fragment carries payload where a layer-4 header would be: its group reads as zeros
// rather than as payload bytes or the previous packet's values.
inline void clear_layer4(PacketRecord* rec) {
    switch (rec->ip_proto) {
        case kProtoTCP:
            rec->tcp_flags = 0;
            rec->tcp_seq = 0;
            rec->tcp_ack = 0;
            rec->urgent = 0;
            break;
        case kProtoUDP: rec->udp_length = 0; break;
        case kProtoICMP:
        case kProtoICMPv6:
            rec->icmp_type = 0;
            rec->icmp_code = 0;
            break;
        default: break;
    }
}

inline void decode_ipv4(const CapturedFrame& frame, PacketRecord* rec) {
    constexpr size_t ip = kIPv4Offset;
    if (!frame.has(ip, sizeof(ip_header))) {
        rec->is_valid = 0;
        return;
    }
    rec->ip_version = 4;
    rec->src_ip_v4 = frame.raw32(ip + offsetof(ip_header, src_addr));
    rec->dst_ip_v4 = frame.raw32(ip + offsetof(ip_header, dst_addr));
    rec->ip_id = frame.be16(ip + offsetof(ip_header, id));
    rec->ip_proto = frame.u8(ip + offsetof(ip_header, protocol));
    // Neither the version nibble nor a header length below 5 words is checked.
    size_t l4 = ip + size_t{4} * (frame.u8(ip + offsetof(ip_header, v_hl)) & 0x0F);
    uint16_t frag = frame.be16(ip + offsetof(ip_header, frag_off));
    if ((frag & kMoreFragments) || (frag & kFragmentOffsetMask)) rec->wrong_fragment = 1;
    if (frag & kFragmentOffsetMask) {
        clear_layer4(rec);
        return;
    }
    decode_layer4(frame, l4, rec);
}

inline void decode_ipv6(const CapturedFrame& frame, PacketRecord* rec) {
    constexpr size_t ip = kIPv4Offset;
    if (!frame.has(ip, sizeof(ipv6_header))) {
        rec->is_valid = 0;
        return;
    }
    rec->ip_version = 6;
    std::memcpy(rec->src_ip_v6, frame.bytes + ip + offsetof(ipv6_header, src_addr), 16);
    std::memcpy(rec->dst_ip_v6, frame.bytes + ip + offsetof(ipv6_header, dst_addr), 16);
    rec->ip_id = static_cast<int32_t>(frame.be32(ip + offsetof(ipv6_header, v_tc_fl)) & 0xFFFFF);
    // Extension headers are not followed: their number stands as the protocol.
    rec->ip_proto = frame.u8(ip + offsetof(ipv6_header, next_hdr));
    decode_layer4(frame, kIPv6L4Offset, rec);
}

}  // namespace packet_decoding

// Decodes one captured Ethernet frame into `rec`. Never reads past header->caplen: a frame too
// short for its Ethernet, IPv4 or IPv6 header is marked invalid, a partly captured layer-4
// header gives zeros for the fields it lacks.
inline void _parse_packet_c(const struct pcap_pkthdr* header, const u_char* packet, PacketRecord* rec) {
    using namespace packet_decoding;
    const CapturedFrame frame{packet, header->caplen};
    if (!frame.has(0, sizeof(eth_header))) {
        rec->is_valid = 0;
        return;
    }
    rec->is_valid = 1;
    rec->tv_sec = header->ts.tv_sec;
    rec->frame_length = header->len;
    rec->timestamp = static_cast<double>(header->ts.tv_sec) + static_cast<double>(header->ts.tv_usec) / 1000000.0;
    std::memcpy(rec->src_mac, packet + offsetof(eth_header, src_mac), 6);
    std::memcpy(rec->dst_mac, packet + offsetof(eth_header, dst_mac), 6);
    rec->wrong_fragment = 0;
    rec->land = 0;
    rec->ip_proto = 0;
    rec->src_port = 0;
    rec->dst_port = 0;
    switch (frame.be16(offsetof(eth_header, eth_type))) {
        case kEthTypeIPv4: decode_ipv4(frame, rec); break;
        case kEthTypeIPv6: decode_ipv6(frame, rec); break;
        default: rec->is_valid = 0; break;
    }
}
