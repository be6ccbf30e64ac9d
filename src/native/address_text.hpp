// The texts of addresses, written into a caller's buffer with no interpreter object involved:
// the packet dictionaries and the column batches both use them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnel {

inline constexpr size_t kMacTextSize = 17;       // aa:bb:cc:dd:ee:ff
inline constexpr size_t kIpv4TextMaxSize = 15;   // 255.255.255.255
inline constexpr size_t kIpv6TextMaxSize = 45;   // as INET6_ADDRSTRLEN less its NUL
inline constexpr size_t kDateTimeTextMaxSize = 63;

// Each writer may store bytes past the text's end, never past its maximum size: `text` has room for
// the maximum.

// Lowercase, colon-separated; writes exactly kMacTextSize bytes.
size_t write_mac_text(const uint8_t* mac, char* text);
// Dotted decimal, as inet_ntoa writes it; returns the text's length.
size_t write_ipv4_text(const uint8_t* octets, char* text);
// The text of the C library's inet_ntop(AF_INET6, ...): lowercase groups without leading zeros,
// the first longest zero run as "::", and the IPv4-compatible and IPv4-mapped forms.
size_t write_ipv6_text(const uint8_t* address, char* text);
// "%Y-%m-%d %H:%M:%S" in the local time zone, as time.strftime(time.localtime(seconds)) gives it;
// 0 when localtime_r fails (errno says why). `local_seconds`, when given, receives the wall-clock
// time as seconds (the zone's offset added): two times share a text exactly when they share it,
// also where clocks go back and an hour's texts come twice.
size_t write_local_date_time(long seconds, char* text, long* local_seconds = nullptr);

}  // namespace varnel
