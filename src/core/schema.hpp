// The fields of every output, in output order: packet dictionaries, feature rows, the flow key
// that feature rows may carry, and connection records. Dictionary templates and column layouts are built from these lists,
// and sinks name the fields they fill by FieldId, so a field is bound at compile time, never looked
// up by its text; src/varnel/schema.py mirrors the lists for the Python side, and a test holds the
// two together. The few-valued texts (protocol names, IP versions) are defined here once too.
#pragma once

#include "connection_record.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace varnel::schema {

enum class Type : uint8_t {
    Bool,
    Float64,
    Text,
    Category,  // a text from a fixed list of values (columns: dictionary-encoded)
    UInt8,
    UInt16,
    UInt32,
    UInt64,
    Timestamp,  // microseconds since the epoch, UTC (columns only)
};

// Which packets carry a field: all, those with an IP version, or one protocol group's.
enum class Group : uint8_t { All, Ip, Tcp, Udp, Icmp };

enum class FieldId : uint8_t {
    success, timestamp, date_time, frame_length, src_mac, dst_mac, ip_proto, ip_id, wrong_fragment, land,
    src_port, dst_port, version, src_ip, dst_ip, protocol_type, tcp_flag, tcp_seq, tcp_ack, urgent, udp_length,
    icmp_type, icmp_code, src_bytes, count, capture_time, leading_code, file,
    // connection records
    duration, service, flag, dst_bytes, srv_count, serror_rate, srv_serror_rate, rerror_rate, srv_rerror_rate,
    same_srv_rate, diff_srv_rate, srv_diff_host_rate, dst_host_count, dst_host_srv_count, dst_host_same_srv_rate,
    dst_host_diff_srv_rate, dst_host_same_src_port_rate, dst_host_srv_diff_host_rate, dst_host_serror_rate,
    dst_host_srv_serror_rate, dst_host_rerror_rate, dst_host_srv_rerror_rate, start_time, end_time, src_packets,
    dst_packets,
};
inline constexpr size_t kFieldIdCount = static_cast<size_t>(FieldId::dst_packets) + 1;

// The values of a category, in the order of their indices.
using Values = std::span<const std::string_view>;

// The protocol names of packet dictionaries: TCP, UDP, ICMP (ICMPv6 too), every other "Others".
inline constexpr std::array<std::string_view, 4> kPacketProtocolNames = {"TCP", "UDP", "ICMP", "Others"};
// Feature rows name every protocol but TCP and UDP "ICMP": ICMPv6, 0 and any other number alike.
inline constexpr std::array<std::string_view, 3> kFeatureProtocolNames = {"TCP", "UDP", "ICMP"};
inline constexpr std::array<std::string_view, 2> kVersionNames = {"IPv4", "IPv6"};

enum ProtocolIndex : uint8_t { kTcpIndex, kUdpIndex, kIcmpIndex, kOthersIndex };

constexpr uint8_t packet_protocol(uint8_t ip_proto) {
    switch (ip_proto) {
        case packet_decoding::kProtoTCP: return kTcpIndex;
        case packet_decoding::kProtoUDP: return kUdpIndex;
        case packet_decoding::kProtoICMP:
        case packet_decoding::kProtoICMPv6: return kIcmpIndex;
        default: return kOthersIndex;
    }
}

constexpr uint8_t feature_protocol(uint8_t ip_proto) {
    switch (ip_proto) {
        case packet_decoding::kProtoTCP: return kTcpIndex;
        case packet_decoding::kProtoUDP: return kUdpIndex;
        default: return kIcmpIndex;
    }
}

constexpr uint8_t version_index(int ip_version) { return ip_version == 4 ? 0 : 1; }

struct Field {
    FieldId id;
    std::string_view name;
    Type type;
    Group group;
    Values values = {};  // Category: its values

    // Absent from the packets outside its group: a key left out, a null cell.
    constexpr bool nullable() const { return group == Group::Tcp || group == Group::Udp || group == Group::Icmp; }
};

inline constexpr Field kPacketFields[] = {
    {FieldId::success, "success", Type::Bool, Group::All},
    {FieldId::timestamp, "timestamp", Type::Float64, Group::All},
    {FieldId::date_time, "date_time", Type::Text, Group::All},
    {FieldId::frame_length, "frame_length", Type::UInt32, Group::All},
    {FieldId::src_mac, "src_mac", Type::Text, Group::All},
    {FieldId::dst_mac, "dst_mac", Type::Text, Group::All},
    {FieldId::ip_proto, "ip_proto", Type::UInt8, Group::All},
    {FieldId::ip_id, "ip_id", Type::UInt32, Group::All},  // up to the 20-bit IPv6 flow label
    {FieldId::wrong_fragment, "wrong_fragment", Type::UInt8, Group::All},
    {FieldId::land, "land", Type::UInt8, Group::All},
    {FieldId::src_port, "src_port", Type::UInt16, Group::All},
    {FieldId::dst_port, "dst_port", Type::UInt16, Group::All},
    {FieldId::version, "version", Type::Category, Group::Ip, kVersionNames},
    {FieldId::src_ip, "src_ip", Type::Text, Group::Ip},
    {FieldId::dst_ip, "dst_ip", Type::Text, Group::Ip},
    {FieldId::protocol_type, "protocol_type", Type::Category, Group::All, kPacketProtocolNames},
    {FieldId::tcp_flag, "tcp_flag", Type::UInt8, Group::Tcp},
    {FieldId::tcp_seq, "tcp_seq", Type::UInt32, Group::Tcp},
    {FieldId::tcp_ack, "tcp_ack", Type::UInt32, Group::Tcp},
    {FieldId::urgent, "urgent", Type::UInt8, Group::Tcp},
    {FieldId::udp_length, "udp_length", Type::UInt16, Group::Udp},
    {FieldId::icmp_type, "icmp_type", Type::UInt8, Group::Icmp},
    {FieldId::icmp_code, "icmp_code", Type::UInt8, Group::Icmp},
};

inline constexpr Field kFeatureFields[] = {
    {FieldId::timestamp, "timestamp", Type::Float64, Group::All},
    {FieldId::src_port, "src_port", Type::UInt16, Group::All},
    {FieldId::dst_port, "dst_port", Type::UInt16, Group::All},
    {FieldId::protocol_type, "protocol_type", Type::Category, Group::All, kFeatureProtocolNames},
    {FieldId::src_bytes, "src_bytes", Type::UInt32, Group::All},  // the frame's wire length
    {FieldId::land, "land", Type::UInt8, Group::All},
    {FieldId::wrong_fragment, "wrong_fragment", Type::UInt8, Group::All},
    {FieldId::count, "count", Type::UInt32, Group::All},  // wraps at 2^32
};

// Added to feature rows on request, after the eight above.
inline constexpr Field kFlowKeyFields[] = {
    {FieldId::src_ip, "src_ip", Type::Text, Group::Ip},
    {FieldId::dst_ip, "dst_ip", Type::Text, Group::Ip},
    {FieldId::ip_proto, "ip_proto", Type::UInt8, Group::All},
};

// A connection record: the 28 columns of the KDD'99 data sets in their order, then the
// connection's times, end points, protocol and packet counts. The services are the read's own
// (a caller may name ports), so their values come with the read, as the file column's do.
inline constexpr Field kConnectionFields[] = {
    {FieldId::duration, "duration", Type::UInt32, Group::All},
    {FieldId::protocol_type, "protocol_type", Type::Category, Group::All, connections::kProtocolTypeNames},
    {FieldId::service, "service", Type::Category, Group::All},
    {FieldId::flag, "flag", Type::Category, Group::All, connections::kFlagNames},
    {FieldId::src_bytes, "src_bytes", Type::UInt64, Group::All},
    {FieldId::dst_bytes, "dst_bytes", Type::UInt64, Group::All},
    {FieldId::land, "land", Type::UInt32, Group::All},
    {FieldId::wrong_fragment, "wrong_fragment", Type::UInt32, Group::All},
    {FieldId::urgent, "urgent", Type::UInt32, Group::All},
    {FieldId::count, "count", Type::UInt32, Group::All},
    {FieldId::srv_count, "srv_count", Type::UInt32, Group::All},
    {FieldId::serror_rate, "serror_rate", Type::Float64, Group::All},
    {FieldId::srv_serror_rate, "srv_serror_rate", Type::Float64, Group::All},
    {FieldId::rerror_rate, "rerror_rate", Type::Float64, Group::All},
    {FieldId::srv_rerror_rate, "srv_rerror_rate", Type::Float64, Group::All},
    {FieldId::same_srv_rate, "same_srv_rate", Type::Float64, Group::All},
    {FieldId::diff_srv_rate, "diff_srv_rate", Type::Float64, Group::All},
    {FieldId::srv_diff_host_rate, "srv_diff_host_rate", Type::Float64, Group::All},
    {FieldId::dst_host_count, "dst_host_count", Type::UInt32, Group::All},
    {FieldId::dst_host_srv_count, "dst_host_srv_count", Type::UInt32, Group::All},
    {FieldId::dst_host_same_srv_rate, "dst_host_same_srv_rate", Type::Float64, Group::All},
    {FieldId::dst_host_diff_srv_rate, "dst_host_diff_srv_rate", Type::Float64, Group::All},
    {FieldId::dst_host_same_src_port_rate, "dst_host_same_src_port_rate", Type::Float64, Group::All},
    {FieldId::dst_host_srv_diff_host_rate, "dst_host_srv_diff_host_rate", Type::Float64, Group::All},
    {FieldId::dst_host_serror_rate, "dst_host_serror_rate", Type::Float64, Group::All},
    {FieldId::dst_host_srv_serror_rate, "dst_host_srv_serror_rate", Type::Float64, Group::All},
    {FieldId::dst_host_rerror_rate, "dst_host_rerror_rate", Type::Float64, Group::All},
    {FieldId::dst_host_srv_rerror_rate, "dst_host_srv_rerror_rate", Type::Float64, Group::All},
    {FieldId::start_time, "start_time", Type::Float64, Group::All},
    {FieldId::end_time, "end_time", Type::Float64, Group::All},
    {FieldId::src_ip, "src_ip", Type::Text, Group::All},
    {FieldId::src_port, "src_port", Type::UInt16, Group::All},
    {FieldId::dst_ip, "dst_ip", Type::Text, Group::All},
    {FieldId::dst_port, "dst_port", Type::UInt16, Group::All},
    {FieldId::ip_proto, "ip_proto", Type::UInt8, Group::All},
    {FieldId::src_packets, "src_packets", Type::UInt32, Group::All},
    {FieldId::dst_packets, "dst_packets", Type::UInt32, Group::All},
};

// Added first to columns on request, or wherever rows come from several files: the file each row
// came from, its values the names of the inputs (known when the read is made, not here).
inline constexpr Field kFileField{FieldId::file, "file", Type::Category, Group::All};

// Added to columns on request: the capture time as a time stamp type of its own.
inline constexpr Field kCaptureTimeField{FieldId::capture_time, "capture_time", Type::Timestamp, Group::All};

// Added to feature rows read as one byte range of a file among others: where the row is in its
// destination's leading run, which a count carried over from the ranges before continues, that
// destination's code into the range's summary plus one; 0 elsewhere. One column, so that the carry
// is one lookup per row.
inline constexpr Field kRangeSummaryFields[] = {
    {FieldId::leading_code, "_leading", Type::UInt32, Group::All},
};

// Whether a packet of `group` (Tcp, Udp, Icmp, or All for any other protocol), with or without an
// IP version, carries `field`.
constexpr bool carries(const Field& field, bool has_ip, Group group) {
    switch (field.group) {
        case Group::All: return true;
        case Group::Ip: return has_ip;
        default: return field.group == group;
    }
}

}  // namespace varnel::schema
