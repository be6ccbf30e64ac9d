// The services of connection records: the names the KDD data sets give to TCP and UDP ports and to
// ICMP types, in one table. Each name has a small id; the names come in a fixed order (the Arrow
// dictionary of the `service` column), and names a user adds follow them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::connections {

using ServiceId = uint16_t;

inline constexpr std::string_view kServiceNames[] = {
    "other", "private", "eco_i", "ecr_i", "urh_i", "urp_i", "red_i", "tim_i",
    "echo", "discard", "systat", "daytime", "netstat", "ftp_data", "ftp", "ssh", "telnet", "smtp", "time",
    "name", "whois", "domain", "domain_u", "tftp_u", "gopher", "remote_job", "rje", "finger", "http", "ctf",
    "supdup", "hostnames", "iso_tsap", "csnet_ns", "pop_2", "pop_3", "sunrpc", "auth", "uucp_path", "nntp",
    "ntp_u", "netbios_ns", "netbios_dgm", "netbios_ssn", "imap4", "sql_net", "vmnet", "bgp", "IRC", "Z39_50",
    "link", "ldap", "nnsp", "http_443", "exec", "login", "shell", "printer", "efs", "courier", "uucp",
    "klogin", "kshell", "mtp", "http_2784", "aol", "X11", "http_8001",
};

inline constexpr ServiceId kServiceOther = 0;
inline constexpr ServiceId kServicePrivate = 1;
static_assert(kServiceNames[kServiceOther] == "other" && kServiceNames[kServicePrivate] == "private");
inline constexpr uint16_t kFirstPrivatePort = 49152;
inline constexpr uint16_t kFtpDataPort = 20;  // an originator's port 20 names the service first

enum class Carriers : uint8_t { Both, TcpOnly, UdpOnly };

// Ports first to last carry `name` over the protocols given.
struct PortName {
    uint16_t first;
    uint16_t last;
    std::string_view name;
    Carriers carriers = Carriers::Both;
};

inline constexpr PortName kPortNames[] = {
    {7, 7, "echo"}, {9, 9, "discard"}, {11, 11, "systat"}, {13, 13, "daytime"}, {15, 15, "netstat"},
    {20, 20, "ftp_data"}, {21, 21, "ftp"}, {22, 22, "ssh"}, {23, 23, "telnet"}, {25, 25, "smtp"},
    {37, 37, "time"}, {42, 42, "name"}, {43, 43, "whois"},
    {53, 53, "domain", Carriers::TcpOnly}, {53, 53, "domain_u", Carriers::UdpOnly},
    {69, 69, "tftp_u", Carriers::UdpOnly}, {70, 70, "gopher"}, {71, 74, "remote_job"}, {77, 77, "rje"},
    {79, 79, "finger"}, {80, 80, "http"}, {84, 84, "ctf"}, {95, 95, "supdup"}, {101, 101, "hostnames"},
    {102, 102, "iso_tsap"}, {105, 105, "csnet_ns"}, {109, 109, "pop_2"}, {110, 110, "pop_3"},
    {111, 111, "sunrpc"}, {113, 113, "auth"}, {117, 117, "uucp_path"}, {119, 119, "nntp"},
    {123, 123, "ntp_u", Carriers::UdpOnly}, {137, 137, "netbios_ns"}, {138, 138, "netbios_dgm"},
    {139, 139, "netbios_ssn"}, {143, 143, "imap4"}, {150, 150, "sql_net"}, {175, 175, "vmnet"},
    {179, 179, "bgp"}, {194, 194, "IRC"}, {210, 210, "Z39_50"}, {245, 245, "link"}, {389, 389, "ldap"},
    {433, 433, "nnsp"}, {443, 443, "http_443"}, {512, 512, "exec"}, {513, 513, "login"}, {514, 514, "shell"},
    {515, 515, "printer"}, {520, 520, "efs"}, {530, 530, "courier"}, {540, 540, "uucp"}, {543, 543, "klogin"},
    {544, 544, "kshell"}, {1911, 1911, "mtp"}, {2784, 2784, "http_2784"}, {5190, 5193, "aol"},
    {6000, 6063, "X11"}, {6665, 6669, "IRC"}, {8001, 8001, "http_8001"}, {8008, 8008, "http"},
    {8080, 8080, "http"},
};

class ServiceTable {
public:
    // The data sets' table. Throws std::bad_alloc.
    ServiceTable();

    // Names `port` of TCP or UDP (`protocol` 6 or 17) `name`, which is added to the names when it
    // is new. False, with nothing changed, for another protocol or when the ids are used up.
    // Throws std::bad_alloc.
    bool set(uint8_t protocol, uint16_t port, std::string_view name);

    ServiceId of_ports(uint8_t protocol, uint16_t originator_port, uint16_t responder_port) const noexcept;
    static ServiceId of_icmp(uint8_t ip_version, uint8_t type, uint8_t code) noexcept;

    std::span<const std::string> names() const noexcept { return names_; }

private:
    static constexpr ServiceId kUnnamed = 0xFFFF;

    ServiceId id_of(std::string_view name);
    std::vector<ServiceId>& ports_of(uint8_t protocol);

    std::vector<ServiceId> tcp_;  // by port
    std::vector<ServiceId> udp_;
    std::vector<std::string> names_;
};

}  // namespace varnel::connections
