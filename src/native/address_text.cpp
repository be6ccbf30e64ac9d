#include "address_text.hpp"

#include <cerrno>
#include <ctime>

namespace varnel {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// The first longest run of two or more zero groups, which the text shortens to "::".
struct ZeroRun {
    int base = -1;
    int length = 0;
};

ZeroRun longest_zero_run(const unsigned* groups) {
    ZeroRun best, current;
    for (int i = 0; i <= 8; ++i) {
        if (i < 8 && groups[i] == 0) {
            if (current.base < 0) current = {i, 0};
            ++current.length;
        } else if (current.base >= 0) {
            if (current.length > best.length) best = current;
            current.base = -1;
        }
    }
    return best.length >= 2 ? best : ZeroRun{};
}

size_t write_hex_group(unsigned group, char* text) {
    size_t length = 0;
    for (int shift = 12; shift >= 0; shift -= 4) {
        unsigned digit = (group >> shift) & 0xF;
        if (length == 0 && digit == 0 && shift != 0) continue;
        text[length++] = kHex[digit];
    }
    return length;
}

}  // namespace

size_t write_mac_text(const uint8_t* mac, char* text) {
    for (size_t i = 0; i < 6; ++i) {
        text[3 * i] = kHex[mac[i] >> 4];
        text[3 * i + 1] = kHex[mac[i] & 0x0F];
        if (i < 5) text[3 * i + 2] = ':';
    }
    return kMacTextSize;
}

size_t write_ipv4_text(const uint8_t* octets, char* text) {
    size_t length = 0;
    for (int i = 0; i < 4; ++i) {
        unsigned value = octets[i];
        if (value >= 100) text[length++] = static_cast<char>('0' + value / 100);
        if (value >= 10) text[length++] = static_cast<char>('0' + value / 10 % 10);
        text[length++] = static_cast<char>('0' + value % 10);
        if (i < 3) text[length++] = '.';
    }
    return length;
}

size_t write_ipv6_text(const uint8_t* address, char* text) {
    unsigned groups[8];
    for (size_t i = 0; i < 8; ++i) groups[i] = (unsigned{address[2 * i]} << 8) | address[2 * i + 1];
    ZeroRun zeros = longest_zero_run(groups);
    bool embeds_ipv4 = zeros.base == 0 && (zeros.length == 6 || (zeros.length == 5 && groups[5] == 0xFFFF));
    size_t length = 0;
    for (int i = 0; i < 8; ++i) {
        if (zeros.base >= 0 && i >= zeros.base && i < zeros.base + zeros.length) {
            if (i == zeros.base) text[length++] = ':';
            continue;
        }
        if (i != 0) text[length++] = ':';
        if (i == 6 && embeds_ipv4) {
            length += write_ipv4_text(address + 12, text + length);
            break;
        }
        length += write_hex_group(groups[i], text + length);
    }
    if (zeros.base >= 0 && zeros.base + zeros.length == 8) text[length++] = ':';
    return length;
}

size_t write_local_date_time(long seconds, char* text, long* local_seconds) {
    time_t when = seconds;
    struct tm local {};
    errno = 0;
    if (localtime_r(&when, &local) == nullptr) {
        if (errno == 0) errno = EINVAL;
        return 0;
    }
    if (local_seconds != nullptr) *local_seconds = seconds + local.tm_gmtoff;
    return std::strftime(text, kDateTimeTextMaxSize + 1, "%Y-%m-%d %H:%M:%S", &local);
}

}  // namespace varnel
