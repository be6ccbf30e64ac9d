// The link layers: where, in a frame of a given link type, the network packet starts, which
// network protocol it is, and which MAC addresses the frame carries. One row per link type;
// each row decides per frame, since tags and address lengths vary from frame to frame.
#pragma once

#include "grapnel.h"

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

// The EtherType at `type_offset`, looking through VLAN tags when asked; the network packet
// starts right after the last type field.
inline NetworkStart through_vlan_tags(const CapturedFrame& frame, size_t type_offset, const LinkOptions& options) {
    uint16_t eth_type = frame.be16(type_offset);
    for (int tags = 0; is_vlan_tag(eth_type); ++tags) {
        if (!options.decode_vlan || tags == kMaxVlanTags) return {LinkOutcome::VlanTagged, type_offset + 2};
        type_offset += kVlanTagSize;
        if (!frame.has(type_offset, 2)) return {LinkOutcome::TooShort, type_offset};
        eth_type = frame.be16(type_offset);
    }
    return by_eth_type(eth_type, type_offset + 2);
}

inline NetworkStart locate_ethernet(const CapturedFrame& frame, const LinkOptions& options) {
    if (!frame.has(0, sizeof(eth_header))) return {LinkOutcome::TooShort, 0};
    NetworkStart start = through_vlan_tags(frame, offsetof(eth_header, eth_type), options);
    start.src_mac = offsetof(eth_header, src_mac);
    start.dst_mac = offsetof(eth_header, dst_mac);
    return start;
}

inline constexpr LinkLayer kLinkLayers[] = {
    {DLT_EN10MB, locate_ethernet},
};

// The row for `link_type`, or null where no row decodes it.
inline const LinkLayer* find_link_layer(int link_type) {
    const LinkLayer* found = std::find_if(std::begin(kLinkLayers), std::end(kLinkLayers),
                                          [link_type](const LinkLayer& layer) { return layer.link_type == link_type; });
    return found != std::end(kLinkLayers) ? found : nullptr;
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

}  // namespace packet_decoding
