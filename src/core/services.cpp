#include "services.hpp"

#include "varnel/core/base/grapnel.h"

#include <algorithm>
#include <iterator>

namespace varnel::connections {

namespace {

constexpr size_t kPorts = 65536;
using packet_decoding::kProtoTCP;
using packet_decoding::kProtoUDP;

ServiceId known_id(std::string_view name) {
    auto found = std::find(std::begin(kServiceNames), std::end(kServiceNames), name);
    return static_cast<ServiceId>(found - std::begin(kServiceNames));
}

}  // namespace

ServiceTable::ServiceTable() : tcp_(kPorts, kUnnamed), udp_(kPorts, kUnnamed) {
    names_.assign(std::begin(kServiceNames), std::end(kServiceNames));
    for (const PortName& entry : kPortNames) {
        ServiceId id = known_id(entry.name);
        for (uint32_t port = entry.first; port <= entry.last; ++port) {
            if (entry.carriers != Carriers::UdpOnly) tcp_[port] = id;
            if (entry.carriers != Carriers::TcpOnly) udp_[port] = id;
        }
    }
}

std::vector<ServiceId>& ServiceTable::ports_of(uint8_t protocol) { return protocol == kProtoTCP ? tcp_ : udp_; }

ServiceId ServiceTable::id_of(std::string_view name) {
    auto found = std::find(names_.begin(), names_.end(), name);
    if (found != names_.end()) return static_cast<ServiceId>(found - names_.begin());
    if (names_.size() >= kUnnamed) return kUnnamed;
    names_.emplace_back(name);
    return static_cast<ServiceId>(names_.size() - 1);
}

bool ServiceTable::set(uint8_t protocol, uint16_t port, std::string_view name) {
    if (protocol != kProtoTCP && protocol != kProtoUDP) return false;
    ServiceId id = id_of(name);
    if (id == kUnnamed) return false;
    ports_of(protocol)[port] = id;
    return true;
}

ServiceId ServiceTable::of_ports(uint8_t protocol, uint16_t originator_port, uint16_t responder_port) const noexcept {
    const std::vector<ServiceId>& ports = protocol == kProtoTCP ? tcp_ : udp_;
    if (originator_port == kFtpDataPort && ports[kFtpDataPort] != kUnnamed) return ports[kFtpDataPort];
    if (ports[responder_port] != kUnnamed) return ports[responder_port];
    return responder_port >= kFirstPrivatePort ? kServicePrivate : kServiceOther;
}

// By type, and for unreachable messages by code: the data sets name host and port unreachable only.
ServiceId ServiceTable::of_icmp(uint8_t ip_version, uint8_t type, uint8_t code) noexcept {
    constexpr ServiceId kEcho = 2, kEchoReply = 3, kHostUnreachable = 4, kPortUnreachable = 5, kRedirect = 6,
                        kTimeExceeded = 7;
    static_assert(kServiceNames[kEcho] == "eco_i" && kServiceNames[kEchoReply] == "ecr_i" &&
                  kServiceNames[kHostUnreachable] == "urh_i" && kServiceNames[kPortUnreachable] == "urp_i" &&
                  kServiceNames[kRedirect] == "red_i" && kServiceNames[kTimeExceeded] == "tim_i");
    if (ip_version == 4) {
        switch (type) {
            case 8: return kEcho;
            case 0: return kEchoReply;
            case 3: return code == 1 ? kHostUnreachable : code == 3 ? kPortUnreachable : kServiceOther;
            case 5: return kRedirect;
            case 11: return kTimeExceeded;
            default: return kServiceOther;
        }
    }
    switch (type) {
        case 128: return kEcho;
        case 129: return kEchoReply;
        case 1: return code == 3 ? kHostUnreachable : code == 4 ? kPortUnreachable : kServiceOther;
        case 137: return kRedirect;
        case 3: return kTimeExceeded;
        default: return kServiceOther;
    }
}

}  // namespace varnel::connections
