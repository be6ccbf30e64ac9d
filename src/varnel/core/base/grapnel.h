// The per-packet record, the wire header layouts and the Ethernet frame decoder, shared at build
// time by every module that decodes frames (each compiles its own inline copy). The network layer
// itself lives in network_layer.hpp (installed beside this header), the table of link layers in the
// capture core.
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
    // Fields are only ever added here, at the end, so that code built against an earlier header
    // keeps its layout.
    uint8_t has_src_mac;       // 0 where the link layer carries no such address (raw IP, ...)
    uint8_t has_dst_mac;
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

enum class NetworkProtocol : uint8_t { IPv4, IPv6 };

// Sets what every frame carries (time, wire length) and clears the fields a path may leave
// unwritten, so that no value of the previous frame shows through.
inline void start_record(const pcap_pkthdr* header, PacketRecord* rec) {
    rec->is_valid = 1;
    rec->tv_sec = header->ts.tv_sec;
    rec->frame_length = header->len;
    rec->timestamp = static_cast<double>(header->ts.tv_sec) + static_cast<double>(header->ts.tv_usec) / 1000000.0;
    rec->wrong_fragment = 0;
    rec->land = 0;
    rec->ip_proto = 0;
    rec->src_port = 0;
    rec->dst_port = 0;
}

// Decodes the IPv4 or IPv6 packet that starts `offset` bytes into the frame; marks the record
// invalid when the captured bytes end inside its fixed header. Defined in network_layer.hpp.
inline void decode_network_layer(const CapturedFrame& frame, size_t offset, NetworkProtocol protocol,
                                 PacketRecord* rec);

}  // namespace packet_decoding

// Decodes one captured Ethernet frame into `rec`. Never reads past header->caplen: a frame too
// short for its Ethernet, IPv4 or IPv6 header is marked invalid, a partly captured layer-4
// header gives zeros for the fields it lacks. Frames of any other EtherType (VLAN-tagged
// included) are marked invalid.
inline void _parse_packet_c(const struct pcap_pkthdr* header, const u_char* packet, PacketRecord* rec) {
    using namespace packet_decoding;
    const CapturedFrame frame{packet, header->caplen};
    if (!frame.has(0, sizeof(eth_header))) {
        rec->is_valid = 0;
        return;
    }
    start_record(header, rec);
    std::memcpy(rec->src_mac, packet + offsetof(eth_header, src_mac), 6);
    std::memcpy(rec->dst_mac, packet + offsetof(eth_header, dst_mac), 6);
    rec->has_src_mac = rec->has_dst_mac = 1;
    switch (frame.be16(offsetof(eth_header, eth_type))) {
        case kEthTypeIPv4: decode_network_layer(frame, sizeof(eth_header), NetworkProtocol::IPv4, rec); break;
        case kEthTypeIPv6: decode_network_layer(frame, sizeof(eth_header), NetworkProtocol::IPv6, rec); break;
        default: rec->is_valid = 0; break;
    }
}

#include "network_layer.hpp"  // NOLINT(llvm-include-order): its definitions need everything above
