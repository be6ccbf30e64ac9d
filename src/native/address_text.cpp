#include "address_text.hpp"

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace varnel {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// Tables, so that a text is a few loads and stores with no branch on the value: the texts of every
// byte are written with the separator after them, and the next one overwrites it where none belongs.
template <class Entry, class Fill>
constexpr std::array<Entry, 256> byte_table(Fill fill) {
    std::array<Entry, 256> table{};
    for (unsigned value = 0; value < 256; ++value) fill(value, table[value]);
    return table;
}

// A byte's decimal digits and a dot; `length` counts the digits.
struct DecimalOctet {
    std::array<char, 4> chars;
    uint8_t length;
};

constexpr auto kDecimalOctets = byte_table<DecimalOctet>([](unsigned value, DecimalOctet& octet) {
    uint8_t length = 0;
    if (value >= 100) octet.chars[length++] = static_cast<char>('0' + value / 100);
    if (value >= 10) octet.chars[length++] = static_cast<char>('0' + value / 10 % 10);
    octet.chars[length++] = static_cast<char>('0' + value % 10);
    octet.chars[length] = '.';
    octet.length = length;
});

// A byte's two hex digits and a colon.
constexpr auto kHexOctets = byte_table<std::array<char, 4>>([](unsigned value, std::array<char, 4>& chars) {
    chars = {kHex[value >> 4], kHex[value & 0xF], ':', 0};
});

// The first longest run of two or more zero groups, which the text shortens to "::"; none is
// length 0.
struct ZeroRun {
    uint8_t base;
    uint8_t length;
};

// The run of each set of zero groups, group i at bit i.
constexpr auto kZeroRuns = byte_table<ZeroRun>([](unsigned zero_groups, ZeroRun& run) {
    // After n rounds a bit is left where n + 1 zero groups start; the last round before none is
    // left holds the longest runs, its lowest bit the first of them.
    unsigned run_starts = zero_groups;
    unsigned longest_starts = 0;
    uint8_t length = 0;
    while (run_starts != 0) {
        longest_starts = run_starts;
        run_starts &= run_starts >> 1;
        ++length;
    }
    run = length < 2 ? ZeroRun{0, 0} : ZeroRun{static_cast<uint8_t>(std::countr_zero(longest_starts)), length};
});

// Writes four bytes at `text`, of which the returned count are the group's digits. The four
// digits are put together in a register: through memory, the unaligned reload would wait for the
// stores before it.
size_t write_hex_group(unsigned group, char* text) {
    const size_t digits = group == 0 ? 1 : (static_cast<size_t>(std::bit_width(group)) + 3) / 4;
    uint16_t high = 0;
    uint16_t low = 0;
    std::memcpy(&high, kHexOctets[group >> 8].data(), 2);
    std::memcpy(&low, kHexOctets[group & 0xFF].data(), 2);
    // The digits in memory order, the leading zeros shifted out of the first bytes.
    const auto leading_bits = static_cast<unsigned>(8 * (4 - digits));
    uint32_t chars = 0;
    if constexpr (std::endian::native == std::endian::little) {
        chars = (high | uint32_t{low} << 16) >> leading_bits;
    } else {
        chars = (uint32_t{high} << 16 | low) << leading_bits;
    }
    std::memcpy(text, &chars, 4);
    return digits;
}

// Groups `begin` to `end`, each with a colon after it; returns the bytes written.
size_t write_hex_groups(const unsigned* groups, int begin, int end, char* text) {
    size_t length = 0;
    for (int i = begin; i < end; ++i) {
        length += write_hex_group(groups[i], text + length);
        text[length++] = ':';
    }
    return length;
}

}  // namespace

// Five stores of three bytes and a colon, the last two bytes on their own: 17 bytes in all.
size_t write_mac_text(const uint8_t* mac, char* text) {
    for (size_t i = 0; i < 5; ++i) std::memcpy(text + 3 * i, kHexOctets[mac[i]].data(), 4);
    std::memcpy(text + 15, kHexOctets[mac[5]].data(), 2);
    return kMacTextSize;
}

// Writes 15 bytes at most: the last octet starts at byte 12 or before.
size_t write_ipv4_text(const uint8_t* octets, char* text) {
    size_t length = 0;
    for (size_t i = 0; i < 3; ++i) {
        const DecimalOctet& octet = kDecimalOctets[octets[i]];
        std::memcpy(text + length, octet.chars.data(), 4);
        length += octet.length + size_t{1};
    }
    const DecimalOctet& last = kDecimalOctets[octets[3]];
    std::memcpy(text + length, last.chars.data(), 3);
    return length + last.length;
}

// Eight groups of four digits and their colons take 40 bytes, within the maximum; the colon after
// the last group is dropped.
size_t write_ipv6_text(const uint8_t* address, char* text) {
    unsigned groups[8];
    unsigned zero_groups = 0;
    for (size_t i = 0; i < 8; ++i) {
        groups[i] = (unsigned{address[2 * i]} << 8) | address[2 * i + 1];
        zero_groups |= static_cast<unsigned>(groups[i] == 0) << i;
    }
    const ZeroRun zeros = kZeroRuns[zero_groups];
    if (zeros.length == 0) return write_hex_groups(groups, 0, 8, text) - 1;
    // The IPv4-compatible and IPv4-mapped forms, ::a.b.c.d and ::ffff:a.b.c.d.
    if (zeros.base == 0 && (zeros.length == 6 || (zeros.length == 5 && groups[5] == 0xFFFF))) {
        constexpr std::array<char, 7> kMappedPrefix{':', ':', 'f', 'f', 'f', 'f', ':'};
        std::memcpy(text, kMappedPrefix.data(), kMappedPrefix.size());
        const size_t prefix = zeros.length == 6 ? 2 : 7;
        return prefix + write_ipv4_text(address + 12, text + prefix);
    }
    size_t length = write_hex_groups(groups, 0, zeros.base, text);
    if (zeros.base == 0) text[length++] = ':';
    text[length++] = ':';
    const int tail = zeros.base + zeros.length;
    length += write_hex_groups(groups, tail, 8, text + length);
    return tail == 8 ? length : length - 1;
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
