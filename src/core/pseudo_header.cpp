#include "pseudo_header.hpp"

#include <algorithm>
#include <cstring>

namespace varnel::pseudo_header {

namespace {

// Layout of the Linux USB header in its 64-byte (memory-mapped) form.
constexpr size_t kUsbTransferType = 9;
constexpr size_t kUsbEventType = 8;
constexpr size_t kUsbEndpoint = 10;
constexpr size_t kUsbDataFlag = 15;
constexpr size_t kUsbUrbLength = 32;
constexpr size_t kUsbDescriptorCount = 60;
constexpr size_t kUsbHeaderSize = 64;
constexpr size_t kUsbDescriptorSize = 16;
constexpr uint8_t kUsbIsochronous = 0;
constexpr uint8_t kUsbComplete = 'C';
constexpr uint8_t kUsbDirectionIn = 0x80;

constexpr uint16_t kSllCan = 0x000C;
constexpr uint16_t kSllCanFd = 0x000D;

uint32_t load32(const uint8_t* at) {
    uint32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void swap16_at(uint8_t* at) {
    uint16_t value = 0;
    std::memcpy(&value, at, sizeof value);
    value = __builtin_bswap16(value);
    std::memcpy(at, &value, sizeof value);
}

void swap32_at(uint8_t* at) {
    uint32_t value = __builtin_bswap32(load32(at));
    std::memcpy(at, &value, sizeof value);
}

void swap64_at(uint8_t* at) {
    uint64_t value = 0;
    std::memcpy(&value, at, sizeof value);
    value = __builtin_bswap64(value);
    std::memcpy(at, &value, sizeof value);
}

bool holds(const pcap_pkthdr& header, size_t size) { return header.caplen >= size && header.len >= size; }

// OpenBSD's pflog header: uid, pid, rule uid and rule pid, each present when the captured bytes,
// the wire length and the header's own length all reach past it.
void swap_pflog(const pcap_pkthdr& header, uint8_t* bytes) {
    const unsigned header_length = bytes[0];
    for (size_t field = 44; field <= 56; field += 4) {
        if (!holds(header, field + 4) || header_length < field + 4) return;
        swap32_at(bytes + field);
    }
}

// SocketCAN frames behind a Linux cooked header carry their CAN id in host order.
void swap_cooked_can(const pcap_pkthdr& header, uint8_t* bytes, size_t header_size, size_t protocol_at) {
    if (!holds(header, header_size)) return;
    const unsigned protocol = unsigned{bytes[protocol_at]} << 8 | bytes[protocol_at + 1];
    if (protocol != kSllCan && protocol != kSllCanFd) return;
    if (!holds(header, header_size + 4)) return;
    swap32_at(bytes + header_size);
}

// Each field is turned when the captured bytes reach past its end.
void swap_usb(const pcap_pkthdr& header, uint8_t* bytes, bool memory_mapped) {
    const uint64_t caplen = header.caplen;
    struct Field {
        size_t at;
        size_t size;
    };
    static constexpr Field kLeading[] = {{0, 8}, {12, 2}, {16, 8}, {24, 4}, {28, 4}, {32, 4}, {36, 4}};
    for (const Field& field : kLeading) {
        if (caplen < field.at + field.size) return;
        if (field.size == 8) swap64_at(bytes + field.at);
        else if (field.size == 4) swap32_at(bytes + field.at);
        else swap16_at(bytes + field.at);
    }
    const bool isochronous = bytes[kUsbTransferType] == kUsbIsochronous;
    if (isochronous) {  // error count and descriptor count; otherwise the setup bytes, left as they are
        for (size_t at = 40; at < 48; at += 4) {
            if (caplen < at + 4) return;
            swap32_at(bytes + at);
        }
    }
    if (!memory_mapped) return;
    for (size_t at = 48; at < kUsbHeaderSize; at += 4) {  // interval, start frame, flags, descriptors
        if (caplen < at + 4) return;
        swap32_at(bytes + at);
    }
    if (!isochronous) return;
    const uint32_t descriptors = load32(bytes + kUsbDescriptorCount);
    uint64_t at = kUsbHeaderSize;
    for (uint32_t index = 0; index < descriptors; ++index, at += kUsbDescriptorSize) {
        for (size_t field = 0; field < 12; field += 4) {  // status, offset, length; then padding
            if (caplen < at + field + 4) return;
            swap32_at(bytes + at + field);
        }
    }
}

// NFLOG: a big-endian header, then TLVs whose type and length are in host order.
void swap_nflog(const pcap_pkthdr& header, uint8_t* bytes) {
    if (!holds(header, 4) || bytes[1] != 0) return;  // only version 0 is known
    uint32_t caplen = header.caplen - 4;
    uint32_t length = header.len - 4;
    uint8_t* tlv = bytes + 4;
    while (caplen >= 4) {
        swap16_at(tlv);
        swap16_at(tlv + 2);
        uint16_t size = 0;
        std::memcpy(&size, tlv, sizeof size);
        if (size % 4 != 0) size = static_cast<uint16_t>(size + 4 - size % 4);  // wraps as a 16-bit count does
        if (size < 4 || caplen < size || length < size) return;
        caplen -= size;
        length -= size;
        tlv += size;
    }
}

// Older libpcap computed the wire length of incoming isochronous completions from the URB length
// instead of the descriptors; such records are given the length their descriptors say, and at
// least their captured length.
void fix_usb_length(pcap_pkthdr* header, const uint8_t* bytes) {
    if (header->caplen < kUsbHeaderSize || bytes[kUsbDataFlag] != 0) return;
    const uint32_t descriptors = load32(bytes + kUsbDescriptorCount);
    const uint64_t counted = kUsbHeaderSize + uint64_t{descriptors} * kUsbDescriptorSize + load32(bytes + kUsbUrbLength);
    if (header->len != counted || bytes[kUsbTransferType] != kUsbIsochronous ||
        bytes[kUsbEventType] != kUsbComplete || (bytes[kUsbEndpoint] & kUsbDirectionIn) == 0) {
        return;
    }
    uint32_t left = header->caplen - kUsbHeaderSize;
    uint32_t data_end = 0;
    const uint8_t* descriptor = bytes + kUsbHeaderSize;
    for (uint32_t index = 0; index < descriptors && left >= kUsbDescriptorSize;
         ++index, left -= kUsbDescriptorSize, descriptor += kUsbDescriptorSize) {
        const uint32_t length = load32(descriptor + 8);
        if (length != 0 && load32(descriptor + 4) + length > data_end) data_end = load32(descriptor + 4) + length;
    }
    const auto before_truncation =
        static_cast<uint32_t>(kUsbHeaderSize + uint64_t{descriptors} * kUsbDescriptorSize + data_end);
    if (before_truncation >= header->caplen) header->len = before_truncation;
    header->len = std::max(header->len, header->caplen);  // never less on the wire than captured
}

}  // namespace

bool needs_fixing(int dlt, bool swapped) noexcept {
    switch (dlt) {
        case DLT_USB_LINUX_MMAPPED: return true;
        case DLT_PFLOG:
        case DLT_LINUX_SLL:
        case DLT_LINUX_SLL2:
        case DLT_USB_LINUX:
        case DLT_NFLOG: return swapped;
        default: return false;
    }
}

void fix(int dlt, bool swapped, pcap_pkthdr* header, uint8_t* bytes) noexcept {
    if (swapped) {
        switch (dlt) {
            case DLT_PFLOG: swap_pflog(*header, bytes); break;
            case DLT_LINUX_SLL: swap_cooked_can(*header, bytes, 16, 14); break;
            case DLT_LINUX_SLL2: swap_cooked_can(*header, bytes, 20, 0); break;
            case DLT_USB_LINUX: swap_usb(*header, bytes, false); break;
            case DLT_USB_LINUX_MMAPPED: swap_usb(*header, bytes, true); break;
            case DLT_NFLOG: swap_nflog(*header, bytes); break;
            default: break;
        }
    }
    if (dlt == DLT_USB_LINUX_MMAPPED) fix_usb_length(header, bytes);
}

}  // namespace varnel::pseudo_header
