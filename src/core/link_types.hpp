// What libpcap derives from a capture file's link type: the DLT_ value it reports for a LINKTYPE_
// value in the file, the largest record it accepts, and the snapshot length it assumes when the
// file's own is unusable. The file reader reproduces these so that it reads what libpcap reads.
#pragma once

#include <pcap/pcap.h>

#include <climits>
#include <cstdint>

namespace varnel::link_types {

// LINKTYPE_ values the file formats use where the DLT_ value differs on this platform; every
// other value is the same number (LINKTYPE_PFSYNC and LINKTYPE_PKTAP included, on Linux).
inline int dlt_of(uint32_t linktype) noexcept {
    switch (linktype) {
        case 100: return DLT_ATM_RFC1483;
        case 101: return DLT_RAW;
        case 102: return DLT_SLIP_BSDOS;
        case 103: return DLT_PPP_BSDOS;
        case 106: return DLT_ATM_CLIP;
        default: return static_cast<int>(linktype);
    }
}

// The largest captured length libpcap accepts in a record of a link type.
inline uint32_t max_snaplen(int dlt) noexcept {
    switch (dlt) {
        case DLT_DBUS: return 128 * 1024 * 1024;
        case DLT_EBHSCR: return 8 * 1024 * 1024;
        case DLT_USBPCAP: return 1024 * 1024;
        default: return 262144;
    }
}

// A file's snapshot length as libpcap uses it: 0 or one past INT_MAX means the type's maximum.
inline uint32_t adjusted_snaplen(int dlt, uint32_t snaplen) noexcept {
    return snaplen == 0 || snaplen > INT_MAX ? max_snaplen(dlt) : snaplen;
}

}  // namespace varnel::link_types
