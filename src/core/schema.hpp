// The fields of every output, in output order: packet dictionaries, feature rows and the flow key
// that feature rows may carry. Dictionary templates and column layouts are built from these
// lists; src/varnel/schema.py mirrors them for the Python side, and a test holds the two together.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace varnel::schema {

enum class Type : uint8_t { Bool, Float64, Text, UInt8, UInt16, UInt32 };

// Which packets carry a field: all, those with an IP version, or one protocol group's.
enum class Group : uint8_t { All, Ip, Tcp, Udp, Icmp };

struct Field {
    std::string_view name;
    Type type;
    Group group;

    // Absent from the packets outside its group: a key left out, a null cell.
    constexpr bool nullable() const { return group == Group::Tcp || group == Group::Udp || group == Group::Icmp; }
};

inline constexpr Field kPacketFields[] = {
    {"success", Type::Bool, Group::All},
    {"timestamp", Type::Float64, Group::All},
    {"date_time", Type::Text, Group::All},
    {"frame_length", Type::UInt32, Group::All},
    {"src_mac", Type::Text, Group::All},
    {"dst_mac", Type::Text, Group::All},
    {"ip_proto", Type::UInt8, Group::All},
    {"ip_id", Type::UInt32, Group::All},  // up to the 20-bit IPv6 flow label
    {"wrong_fragment", Type::UInt8, Group::All},
    {"land", Type::UInt8, Group::All},
    {"src_port", Type::UInt16, Group::All},
    {"dst_port", Type::UInt16, Group::All},
    {"version", Type::Text, Group::Ip},
    {"src_ip", Type::Text, Group::Ip},
    {"dst_ip", Type::Text, Group::Ip},
    {"protocol_type", Type::Text, Group::All},
    {"tcp_flag", Type::UInt8, Group::Tcp},
    {"tcp_seq", Type::UInt32, Group::Tcp},
    {"tcp_ack", Type::UInt32, Group::Tcp},
    {"urgent", Type::UInt8, Group::Tcp},
    {"udp_length", Type::UInt16, Group::Udp},
    {"icmp_type", Type::UInt8, Group::Icmp},
    {"icmp_code", Type::UInt8, Group::Icmp},
};

inline constexpr Field kFeatureFields[] = {
    {"timestamp", Type::Float64, Group::All},
    {"src_port", Type::UInt16, Group::All},
    {"dst_port", Type::UInt16, Group::All},
    {"protocol_type", Type::Text, Group::All},
    {"src_bytes", Type::UInt32, Group::All},  // the frame's wire length
    {"land", Type::UInt8, Group::All},
    {"wrong_fragment", Type::UInt8, Group::All},
    {"count", Type::UInt32, Group::All},  // wraps at 2^32
};

// Added to feature rows on request, after the eight above.
inline constexpr Field kFlowKeyFields[] = {
    {"src_ip", Type::Text, Group::Ip},
    {"dst_ip", Type::Text, Group::Ip},
    {"ip_proto", Type::UInt8, Group::All},
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
