// The network layer: an IPv4 or IPv6 header and the TCP, UDP or ICMP header after it, decoded
// from wherever the link layer says the packet starts. Included by grapnel.h, which declares the
// record, the wire layouts and the frame it reads from.
#pragma once

#include "varnel/core/base/grapnel.h"

namespace packet_decoding {

inline constexpr uint16_t kMoreFragments = 0x2000;
inline constexpr uint16_t kFragmentOffsetMask = 0x1FFF;

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

inline void decode_ipv4(const CapturedFrame& frame, size_t ip, PacketRecord* rec) {
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

inline void decode_ipv6(const CapturedFrame& frame, size_t ip, PacketRecord* rec) {
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
    decode_layer4(frame, ip + sizeof(ipv6_header), rec);
}

inline void decode_network_layer(const CapturedFrame& frame, size_t offset, NetworkProtocol protocol,
                                 PacketRecord* rec) {
    if (protocol == NetworkProtocol::IPv4) {
        decode_ipv4(frame, offset, rec);
    } else {
        decode_ipv6(frame, offset, rec);
    }
}

}  // namespace packet_decoding
