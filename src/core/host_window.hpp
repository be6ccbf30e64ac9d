// The host window of connection records: the last records emitted, kept as a ring and counted as
// they come and go, by responder, by service, by responder and service, and by responder and
// originator port. A record's counts are then four look-ups, whatever the window's length.
#pragma once

#include "services.hpp"

#include <cstdint>
#include <vector>

namespace varnel::connections {

enum class WindowError : uint8_t { None, Syn, Rej };  // SYN error: S0-S3; REJ error: REJ

// A record as the windows see it.
struct WindowRecord {
    uint64_t host_high;  // the responder's address, IPv4 in the first four bytes
    uint64_t host_low;
    ServiceId service;
    uint16_t src_port;
    uint8_t ip_version;
    WindowError error;
};

// Counts over one window of the records like one record: same host (responder), same service.
struct WindowCounts {
    uint32_t host = 0;
    uint32_t service = 0;
    uint32_t host_syn_error = 0;
    uint32_t host_rej_error = 0;
    uint32_t host_same_service = 0;
    uint32_t host_same_src_port = 0;
    uint32_t service_syn_error = 0;
    uint32_t service_rej_error = 0;
    uint32_t service_other_host = 0;

    // The counts of a window holding `self` alone.
    static WindowCounts of_itself(const WindowRecord& self) noexcept;
};

class HostWindow {
public:
    // The counts over the records held and `self`, which then joins them, the oldest going once
    // `limit` records are held. Throws std::bad_alloc with nothing changed.
    WindowCounts count_and_push(const WindowRecord& self, size_t limit);
    void clear() noexcept;

private:
    // What is counted by key: a host, a host and service, or a host and originator port.
    enum Kind : uint32_t { kHost, kHostService, kHostPort, kKinds };

    struct Key {
        uint64_t high, low;
        uint32_t tag;  // kind, IP version, service or port
        uint32_t hash;
        bool operator==(const Key& other) const noexcept {
            return high == other.high && low == other.low && tag == other.tag;
        }
    };

    struct Tally {
        uint32_t all, syn, rej;
    };

    struct Slot {
        Key key;
        Tally tally;
        bool used;
    };

    // A record held, with its keys, hashed once as it comes.
    struct Held {
        WindowRecord record;
        Key keys[kKinds];
    };

    static Key key_of(const WindowRecord& record, Kind kind) noexcept;
    static Held held_of(const WindowRecord& record) noexcept;
    WindowCounts count(const Held& self) const noexcept;
    void push(const Held& held, size_t limit);
    size_t slot_of(const Key& key) const noexcept;  // where `key` is, or the empty slot for it
    Tally get(const Key& key) const noexcept;
    void add(const Key& key, WindowError error, int step) noexcept;
    void count_in(const Held& held, int step) noexcept;
    void rehash(size_t slot_count);

    static void tally(Tally& tally, WindowError error, uint32_t change) noexcept;

    std::vector<Held> ring_;
    size_t oldest_ = 0;  // once the ring is full
    std::vector<Slot> slots_;  // open addressing; at most three keys per record held
    std::vector<Tally> services_;  // by service id, as far as the ids held reach
};

}  // namespace varnel::connections
