// One connection record: the 28 columns of the KDD'99 data sets, then the connection itself (its
// times, end points, protocol and packet counts), as native values; the options that shape records.
#pragma once

#include "services.hpp"
#include "transport.hpp"

#include <cstdint>
#include <string_view>

namespace varnel::connections {

inline constexpr int64_t kMicrosPerSecond = 1'000'000;

struct ConnectionOptions {
    int64_t tcp_timeout_us = 300 * kMicrosPerSecond;
    int64_t udp_timeout_us = 60 * kMicrosPerSecond;
    int64_t icmp_timeout_us = 60 * kMicrosPerSecond;
    int64_t close_linger_us = 5 * kMicrosPerSecond;
    int64_t time_window_us = 2 * kMicrosPerSecond;
    uint32_t host_window = 100;          // records, the one being emitted included; at least 1
    uint32_t max_connections = 1u << 20; // open at once, and records held for the windows; at least 1
    bool kdd_compat = false;
};

// The texts of two dictionary-encoded columns (their order: src/core/schema.hpp).
enum class ProtocolType : uint8_t { Tcp, Udp, Icmp };
inline constexpr std::string_view kProtocolTypeNames[] = {"tcp", "udp", "icmp"};

enum class Flag : uint8_t { SF, S0, S1, S2, S3, REJ, RSTO, RSTR, RSTOS0, RSTRH, SH, SHR, OTH };
inline constexpr std::string_view kFlagNames[] = {"SF",     "S0",    "S1", "S2",  "S3", "REJ", "RSTO",
                                                  "RSTR",   "RSTOS0", "RSTRH", "SH", "SHR", "OTH"};

struct ConnectionRecord {
    // The KDD columns. "src" is the originator, "dst" the responder.
    uint32_t duration = 0;  // whole seconds
    ProtocolType protocol_type = ProtocolType::Tcp;
    ServiceId service = kServiceOther;
    Flag flag = Flag::SF;
    uint64_t src_bytes = 0;
    uint64_t dst_bytes = 0;
    uint32_t land = 0;
    uint32_t wrong_fragment = 0;
    uint32_t urgent = 0;
    uint32_t count = 0;
    uint32_t srv_count = 0;
    double serror_rate = 0;
    double srv_serror_rate = 0;
    double rerror_rate = 0;
    double srv_rerror_rate = 0;
    double same_srv_rate = 0;
    double diff_srv_rate = 0;
    double srv_diff_host_rate = 0;
    uint32_t dst_host_count = 0;
    uint32_t dst_host_srv_count = 0;
    double dst_host_same_srv_rate = 0;
    double dst_host_diff_srv_rate = 0;
    double dst_host_same_src_port_rate = 0;
    double dst_host_srv_diff_host_rate = 0;
    double dst_host_serror_rate = 0;
    double dst_host_srv_serror_rate = 0;
    double dst_host_rerror_rate = 0;
    double dst_host_srv_rerror_rate = 0;
    // The connection.
    int64_t start_us = 0;  // start_time
    int64_t end_us = 0;    // end_time
    uint8_t ip_version = 4;
    Address src_ip{};
    Address dst_ip{};
    uint16_t src_port = 0;
    uint16_t dst_port = 0;
    uint8_t ip_proto = 0;
    uint32_t src_packets = 0;
    uint32_t dst_packets = 0;
    uint32_t input = 0;  // the input of the connection's first packet
};

// Seconds since the epoch as the readers give a packet's time stamp: whole seconds plus the
// microseconds divided, so that equal times print alike everywhere.
inline double seconds_of(int64_t time_us) {
    int64_t whole = time_us / kMicrosPerSecond;
    int64_t fraction = time_us % kMicrosPerSecond;
    if (fraction < 0) {
        fraction += kMicrosPerSecond;
        whole -= 1;
    }
    return static_cast<double>(whole) + static_cast<double>(fraction) / 1e6;
}

}  // namespace varnel::connections
