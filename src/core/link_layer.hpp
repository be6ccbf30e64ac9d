// The link layers: where, in a frame of a given link type, the network packet starts, which
// network protocol it is, and which MAC addresses the frame carries. One row per link type;
// each row decides per frame, since tags and address lengths vary from frame to frame.
#pragma once

#include "varnel/core/base/grapnel.h"

#include <algorithm>
#include <iterator>

namespace packet_decoding {

enum class LinkOutcome : uint8_t {
    IPv4,
    IPv6,
    NotIP,       // ARP, LLDP, MPLS, ...: nothing to decode
    VlanTagged,  // tagged, and tags are not decoded (or there are more than two)
    TooShort,    // the capture ends inside the link-layer header
};

struct LinkOptions {
    bool decode_vlan = false;  // look through up to two 802.1Q / 802.1ad tags
};

// Where a frame's network packet starts, as one row of the table finds it.
struct NetworkStart {
    LinkOutcome outcome;
    size_t offset;        // of the network header
    int src_mac = -1;     // offset of a 6-byte source address; -1: the frame carries none
    int dst_mac = -1;
};

using LocateNetwork = NetworkStart (*)(const CapturedFrame& frame, const LinkOptions& options);

struct LinkLayer {
    int link_type;  // libpcap's DLT_ value
    LocateNetwork locate;
};

inline constexpr uint16_t kEthTypeVlan = 0x8100;
inline constexpr uint16_t kEthTypeQinQ = 0x88A8;
inline constexpr uint16_t kEthTypeQinQOld = 0x9100;
inline constexpr int kMaxVlanTags = 2;
inline constexpr size_t kVlanTagSize = 4;

inline bool is_vlan_tag(uint16_t eth_type) {
    return eth_type == kEthTypeVlan || eth_type == kEthTypeQinQ || eth_type == kEthTypeQinQOld;
}

inline NetworkStart by_eth_type(uint16_t eth_type, size_t offset) {
    switch (eth_type) {
        case kEthTypeIPv4: return {LinkOutcome::IPv4, offset};
        case kEthTypeIPv6: return {LinkOutcome::IPv6, offset};
        default: return {LinkOutcome::NotIP, offset};
    }
}

// The protocol `eth_type` of a header ending at `header_end`, looking through VLAN tags when asked
// (each tag: two bytes of tag control, then the next type); the network packet starts right after
// the last tag.
inline NetworkStart through_vlan_tags(const CapturedFrame& frame, uint16_t eth_type, size_t header_end,
                                      const LinkOptions& options) {
    size_t offset = header_end;
    for (int tags = 0; is_vlan_tag(eth_type); ++tags) {
        if (!options.decode_vlan || tags == kMaxVlanTags) return {LinkOutcome::VlanTagged, offset};
        if (!frame.has(offset, kVlanTagSize)) return {LinkOutcome::TooShort, offset};
        eth_type = frame.be16(offset + 2);
        offset += kVlanTagSize;
    }
    return by_eth_type(eth_type, offset);
}

inline NetworkStart locate_ethernet(const CapturedFrame& frame, const LinkOptions& options) {
    if (!frame.has(0, sizeof(eth_header))) return {LinkOutcome::TooShort, 0};
    NetworkStart start =
        through_vlan_tags(frame, frame.be16(offsetof(eth_header, eth_type)), sizeof(eth_header), options);
    start.src_mac = offsetof(eth_header, src_mac);
    start.dst_mac = offsetof(eth_header, dst_mac);
    return start;
}

// Linux cooked captures carry the sender's link-layer address, of the length the header gives;
// only a 6-byte one is a MAC address. There is no destination address.
inline constexpr size_t kSllHeaderSize = 16;
inline constexpr size_t kSll2HeaderSize = 20;
inline constexpr size_t kMacSize = 6;

inline NetworkStart locate_linux_sll(const CapturedFrame& frame, const LinkOptions& options) {
    if (!frame.has(0, kSllHeaderSize)) return {LinkOutcome::TooShort, 0};
    NetworkStart start = through_vlan_tags(frame, frame.be16(14), kSllHeaderSize, options);
    if (frame.be16(4) == kMacSize) start.src_mac = 6;
    return start;
}

inline NetworkStart locate_linux_sll2(const CapturedFrame& frame, const LinkOptions& options) {
    if (!frame.has(0, kSll2HeaderSize)) return {LinkOutcome::TooShort, 0};
    NetworkStart start = through_vlan_tags(frame, frame.be16(0), kSll2HeaderSize, options);
    if (frame.u8(11) == kMacSize) start.src_mac = 12;
    return start;
}

// Raw IP: the version nibble says which; the IPv4 and IPv6 link types fix it.
inline NetworkStart locate_raw(const CapturedFrame& frame, const LinkOptions&) {
    if (!frame.has(0, 1)) return {LinkOutcome::TooShort, 0};
    switch (frame.u8(0) >> 4) {
        case 4: return {LinkOutcome::IPv4, 0};
        case 6: return {LinkOutcome::IPv6, 0};
        default: return {LinkOutcome::NotIP, 0};
    }
}

inline NetworkStart locate_ipv4(const CapturedFrame&, const LinkOptions&) { return {LinkOutcome::IPv4, 0}; }
inline NetworkStart locate_ipv6(const CapturedFrame&, const LinkOptions&) { return {LinkOutcome::IPv6, 0}; }

// BSD loopback: a 4-byte address family. IPv6's number differs between the BSDs.
inline constexpr size_t kLoopbackHeaderSize = 4;

inline NetworkStart by_address_family(uint32_t family) {
    switch (family) {
        case 2: return {LinkOutcome::IPv4, kLoopbackHeaderSize};
        case 10:
        case 24:
        case 28:
        case 30: return {LinkOutcome::IPv6, kLoopbackHeaderSize};
        default: return {LinkOutcome::NotIP, kLoopbackHeaderSize};
    }
}

// NULL writes the family in the capturing host's byte order, which the file does not record: a
// family that is not one in network order is taken as little-endian.
inline NetworkStart locate_null(const CapturedFrame& frame, const LinkOptions&) {
    if (!frame.has(0, kLoopbackHeaderSize)) return {LinkOutcome::TooShort, 0};
    NetworkStart start = by_address_family(frame.be32(0));
    if (start.outcome != LinkOutcome::NotIP) return start;
    uint32_t little = frame.u8(0) | (uint32_t{frame.u8(1)} << 8) | (uint32_t{frame.u8(2)} << 16) |
                      (uint32_t{frame.u8(3)} << 24);
    return by_address_family(little);
}

inline NetworkStart locate_loop(const CapturedFrame& frame, const LinkOptions&) {
    if (!frame.has(0, kLoopbackHeaderSize)) return {LinkOutcome::TooShort, 0};
    return by_address_family(frame.be32(0));
}

// libpcap reports a file's raw IP link type as DLT_RAW, which is 12 or 14 depending on the platform
// it was built for; both numbers mean raw IP in what it hands over.
inline constexpr int kDltRaw12 = 12;
inline constexpr int kDltRaw14 = 14;

inline constexpr LinkLayer kLinkLayers[] = {
    {DLT_EN10MB, locate_ethernet},
    {DLT_LINUX_SLL, locate_linux_sll},
    {DLT_LINUX_SLL2, locate_linux_sll2},
    {kDltRaw12, locate_raw},
    {kDltRaw14, locate_raw},
    {DLT_IPV4, locate_ipv4},
    {DLT_IPV6, locate_ipv6},
    {DLT_NULL, locate_null},
    {DLT_LOOP, locate_loop},
};

// The row for `link_type`, or null where no row decodes it.
inline const LinkLayer* find_link_layer(int link_type) {
    const LinkLayer* layer = std::find_if(std::begin(kLinkLayers), std::end(kLinkLayers),
                                          [link_type](const LinkLayer& row) { return row.link_type == link_type; });
    return layer != std::end(kLinkLayers) ? layer : nullptr;
}

// Decodes one frame of `link` into `rec`: the link layer, then the network layer. Frames that are
// not IP, or whose headers were not captured whole, leave the record invalid; the outcome says
// why (TooShort also for an IP header cut short).
inline LinkOutcome decode_frame(const LinkLayer& link, const LinkOptions& options, const pcap_pkthdr* header,
                                const u_char* bytes, PacketRecord* rec) {
    const CapturedFrame frame{bytes, header->caplen};
    NetworkStart start = link.locate(frame, options);
    if (start.outcome != LinkOutcome::IPv4 && start.outcome != LinkOutcome::IPv6) {
        rec->is_valid = 0;
        return start.outcome;
    }
    start_record(header, rec);
    rec->has_src_mac = start.src_mac >= 0;
    rec->has_dst_mac = start.dst_mac >= 0;
    if (start.src_mac >= 0) std::memcpy(rec->src_mac, bytes + start.src_mac, 6);
    if (start.dst_mac >= 0) std::memcpy(rec->dst_mac, bytes + start.dst_mac, 6);
    NetworkProtocol protocol =
        start.outcome == LinkOutcome::IPv4 ? NetworkProtocol::IPv4 : NetworkProtocol::IPv6;
    decode_network_layer(frame, start.offset, protocol, rec);
    return rec->is_valid ? start.outcome : LinkOutcome::TooShort;
}

// Where a frame's IP packet starts, for readers that decode past the network header themselves
// (the connection records): the fixed IPv4 or IPv6 header is captured whole at `offset`.
struct NetworkPacket {
    const pcap_pkthdr* header = nullptr;
    CapturedFrame frame{nullptr, 0};
    size_t offset = 0;
    NetworkProtocol protocol = NetworkProtocol::IPv4;
};

// Locates the network packet of one frame of `link`; the outcome as decode_frame's.
inline LinkOutcome locate_packet(const LinkLayer& link, const LinkOptions& options, const pcap_pkthdr* header,
                                 const u_char* bytes, NetworkPacket* packet) {
    const CapturedFrame frame{bytes, header->caplen};
    NetworkStart start = link.locate(frame, options);
    if (start.outcome != LinkOutcome::IPv4 && start.outcome != LinkOutcome::IPv6) return start.outcome;
    const bool v4 = start.outcome == LinkOutcome::IPv4;
    if (!frame.has(start.offset, v4 ? sizeof(ip_header) : sizeof(ipv6_header))) return LinkOutcome::TooShort;
    *packet = NetworkPacket{header, frame, start.offset, v4 ? NetworkProtocol::IPv4 : NetworkProtocol::IPv6};
    return start.outcome;
}

}  // namespace packet_decoding
