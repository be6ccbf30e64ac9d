// What one frame tells about its connection: addresses, the layer-4 protocol found after IPv6
// extension headers, ports or ICMP type and code, TCP flags, the payload bytes by the IP and
// layer-4 length fields, and where an IPv4 fragment belongs. Decoded from wherever the link layer
// says the network packet starts; every read asks first whether its bytes were captured.
#pragma once

#include "host_table.hpp"
#include "varnel/core/base/grapnel.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

namespace varnel::connections {

// Time stamps are held within this many microseconds of the epoch (some 73,000 years), so that a
// time plus a time-out never overflows.
inline constexpr int64_t kTimeLimitUs = int64_t{1} << 61;

// Unusable first, so that facts start as all zero bytes, which are cheap to write.
enum class TransportKind : uint8_t {
    Unusable,          // IPv4 header length below 20, an extension or layer-4 header cut short
    Layer4,            // TCP, UDP or ICMP with its layer-4 header captured whole
    LaterFragment,     // IPv4: a fragment after the first, of a TCP, UDP or ICMP datagram
    LaterFragmentV6,   // IPv6: the same; such fragments are never attributed
    OtherProtocol,     // any other protocol (ICMPv6 over IPv4 and ICMP over IPv6 included)
};

using Address = std::array<uint8_t, 16>;  // IPv4 in the first four bytes, the rest zero

struct TransportFacts {
    int64_t time_us = 0;
    TransportKind kind = TransportKind::Unusable;
    uint8_t ip_version = 0;
    uint8_t protocol = 0;      // the layer-4 protocol, after IPv6 extension headers
    uint8_t tcp_flags = 0;
    uint8_t icmp_type = 0;
    uint8_t icmp_code = 0;
    uint16_t icmp_id = 0;      // echo request and reply only
    uint16_t src_port = 0;
    uint16_t dst_port = 0;
    Address src{};
    Address dst{};
    uint32_t ip_payload = 0;   // by the length fields, less the IPv6 extension headers followed
    uint32_t payload = 0;      // what the packet carries for its connection's byte counts
    // IPv4 fragments.
    bool first_fragment = false;  // offset 0 with more fragments to come
    uint16_t ip_id = 0;
    uint32_t fragment_offset = 0;  // bytes
    uint32_t input = 0;            // which of the read's inputs the frame came from
    // Layer-4 packets: the hash of the connection key, made once as the frame is decoded, since
    // the table looks the key up more than once (a prefetch, then the lookup).
    uint32_t key_hash = 0;
};

inline constexpr uint8_t kTcpFin = 0x01;
inline constexpr uint8_t kTcpSyn = 0x02;
inline constexpr uint8_t kTcpRst = 0x04;
inline constexpr uint8_t kTcpAck = 0x10;
inline constexpr uint8_t kTcpUrg = 0x20;

inline constexpr size_t kTcpHeaderSize = 20;
inline constexpr size_t kShortHeaderSize = 8;  // UDP and ICMP
inline constexpr size_t kExtensionMinSize = 8;

inline bool is_echo(uint8_t ip_version, uint8_t icmp_type) {
    return ip_version == 4 ? (icmp_type == 8 || icmp_type == 0) : (icmp_type == 128 || icmp_type == 129);
}

inline uint32_t less_header(uint32_t ip_payload, uint32_t header_size) {
    return ip_payload > header_size ? ip_payload - header_size : 0;
}

// The layer-4 header at `l4`; a header not captured whole leaves the packet unusable.
inline void decode_layer4(const packet_decoding::CapturedFrame& frame, size_t l4, TransportFacts& facts) {
    using namespace packet_decoding;
    size_t header_size = facts.protocol == kProtoTCP ? kTcpHeaderSize : kShortHeaderSize;
    if (!frame.has(l4, header_size)) {
        facts.kind = TransportKind::Unusable;
        return;
    }
    facts.kind = TransportKind::Layer4;
    if (facts.protocol == kProtoTCP || facts.protocol == kProtoUDP) {
        facts.src_port = frame.be16(l4);
        facts.dst_port = frame.be16(l4 + 2);
    }
    if (facts.protocol == kProtoTCP) {
        facts.tcp_flags = frame.u8(l4 + 13);
        // The data offset as written, below 5 words or past the IP length alike.
        header_size = size_t{4} * (frame.u8(l4 + 12) >> 4);
    } else if (facts.protocol != kProtoUDP) {
        facts.icmp_type = frame.u8(l4);
        facts.icmp_code = frame.u8(l4 + 1);
        if (is_echo(facts.ip_version, facts.icmp_type)) facts.icmp_id = frame.be16(l4 + 4);
    }
    facts.payload = less_header(facts.ip_payload, static_cast<uint32_t>(header_size));
}

inline void decode_ipv4(const packet_decoding::CapturedFrame& frame, size_t ip, TransportFacts& facts) {
    using namespace packet_decoding;
    facts.ip_version = 4;
    facts.protocol = frame.u8(ip + 9);
    std::memcpy(facts.src.data(), frame.bytes + ip + 12, 4);
    std::memcpy(facts.dst.data(), frame.bytes + ip + 16, 4);
    facts.ip_id = frame.be16(ip + 4);
    uint32_t header_length = 4u * (frame.u8(ip) & 0x0Fu);
    facts.ip_payload = less_header(frame.be16(ip + 2), header_length);
    uint16_t fragment_field = frame.be16(ip + 6);
    facts.fragment_offset = 8u * (fragment_field & kFragmentOffsetMask);
    if (facts.protocol != kProtoTCP && facts.protocol != kProtoUDP && facts.protocol != kProtoICMP) {
        facts.kind = TransportKind::OtherProtocol;
    } else if (header_length < sizeof(ip_header)) {
        facts.kind = TransportKind::Unusable;
    } else if (facts.fragment_offset != 0) {
        facts.kind = TransportKind::LaterFragment;
        facts.payload = facts.ip_payload;  // no layer-4 header: all of it is payload
    } else {
        facts.first_fragment = (fragment_field & kMoreFragments) != 0;
        decode_layer4(frame, ip + header_length, facts);
    }
}

inline bool is_followed_extension(uint8_t next_header) {
    return next_header == 0 || next_header == 43 || next_header == 44 || next_header == 60;
}

inline constexpr uint8_t kIpv6Fragment = 44;

inline void decode_ipv6(const packet_decoding::CapturedFrame& frame, size_t ip, TransportFacts& facts) {
    using namespace packet_decoding;
    facts.ip_version = 6;
    std::memcpy(facts.src.data(), frame.bytes + ip + 8, 16);
    std::memcpy(facts.dst.data(), frame.bytes + ip + 24, 16);
    uint32_t payload_length = frame.be16(ip + 4);
    uint8_t next_header = frame.u8(ip + 6);
    size_t at = ip + sizeof(ipv6_header);
    uint32_t extension_bytes = 0;
    // Each header followed is at least 8 bytes, so the walk ends within the captured bytes.
    while (is_followed_extension(next_header)) {
        if (!frame.has(at, kExtensionMinSize)) {
            facts.kind = TransportKind::Unusable;
            return;
        }
        uint8_t header = next_header;
        next_header = frame.u8(at);
        size_t length = header == kIpv6Fragment ? kExtensionMinSize : kExtensionMinSize * (frame.u8(at + 1) + 1u);
        if (header == kIpv6Fragment && (frame.be16(at + 2) >> 3) != 0) {
            facts.protocol = next_header;
            bool known = next_header == kProtoTCP || next_header == kProtoUDP || next_header == kProtoICMPv6;
            facts.kind = known ? TransportKind::LaterFragmentV6 : TransportKind::OtherProtocol;
            return;
        }
        extension_bytes += static_cast<uint32_t>(length);
        at += length;
    }
    facts.protocol = next_header;
    facts.ip_payload = less_header(payload_length, extension_bytes);
    if (next_header != kProtoTCP && next_header != kProtoUDP && next_header != kProtoICMPv6) {
        facts.kind = TransportKind::OtherProtocol;
        return;
    }
    decode_layer4(frame, at, facts);
}

// One word per end point, distinct for IPv4 (address and port side by side), folded for IPv6.
inline uint64_t endpoint_word(uint64_t high, uint64_t low, uint16_t port) noexcept {
    return high ^ ((low << 29) | (low >> 35)) ^ (uint64_t{port} << 48);
}

inline uint64_t address_half(const Address& address, size_t offset) noexcept {
    uint64_t half = 0;
    std::memcpy(&half, address.data() + offset, sizeof half);
    return half;
}

// The connection key: the protocol and the unordered pair of end points for TCP and UDP; for ICMP
// one direction, the "ports" being type << 8 | code and the echo id.
// What a connection key holds beside the addresses: TCP and UDP's ports, which match either way
// round; ICMP's type and code, and its echo identifier, one way only.
struct KeyPorts {
    uint16_t src, dst;
    bool either_way;
};

inline KeyPorts key_ports(const TransportFacts& facts) noexcept {
    using namespace packet_decoding;
    if (facts.protocol == kProtoTCP || facts.protocol == kProtoUDP) return {facts.src_port, facts.dst_port, true};
    return {static_cast<uint16_t>((facts.icmp_type << 8) | facts.icmp_code), facts.icmp_id, false};
}

inline uint32_t connection_key_hash(const TransportFacts& facts) noexcept {
    const auto [src_port, dst_port, either_way] = key_ports(facts);
    uint64_t from = endpoint_word(address_half(facts.src, 0), address_half(facts.src, 8), src_port);
    uint64_t to = endpoint_word(address_half(facts.dst, 0), address_half(facts.dst, 8), dst_port);
    // TCP and UDP look the same from either end: the words in order of size.
    if (either_way && to < from) std::swap(from, to);
    uint64_t kind = uint64_t{facts.protocol} | (uint64_t{facts.ip_version} << 8);
    uint64_t mixed = host_table::mix(((from ^ host_table::hash_seed) * 0x9E3779B97F4A7C15ull + to) ^ kind);
    return static_cast<uint32_t>(mixed ^ (mixed >> 32));
}

// A packet time in microseconds, held within kTimeLimitUs. The microseconds are taken as given,
// even past a second, as libpcap hands them over.
inline int64_t packet_time_us(int64_t seconds, int64_t microseconds) {
    __int128 time = static_cast<__int128>(seconds) * 1'000'000 + microseconds;
    return static_cast<int64_t>(std::clamp<__int128>(time, -kTimeLimitUs, kTimeLimitUs));
}

// Decodes the IPv4 or IPv6 packet starting `offset` bytes into the frame. False when its fixed
// header was not captured: such a frame is no IP frame for the connections and moves no time.
inline bool decode_transport(const packet_decoding::CapturedFrame& frame, size_t offset,
                             packet_decoding::NetworkProtocol protocol, int64_t time_us, TransportFacts& facts) {
    using namespace packet_decoding;
    size_t header_size = protocol == NetworkProtocol::IPv4 ? sizeof(ip_header) : sizeof(ipv6_header);
    if (!frame.has(offset, header_size)) return false;
    facts = TransportFacts{};
    facts.time_us = time_us;
    if (protocol == NetworkProtocol::IPv4) {
        decode_ipv4(frame, offset, facts);
    } else {
        decode_ipv6(frame, offset, facts);
    }
    if (facts.kind == TransportKind::Layer4) facts.key_hash = connection_key_hash(facts);
    return true;
}

}  // namespace varnel::connections
