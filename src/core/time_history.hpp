// The history of the time window: the last records emitted, by emission serial, each with its end
// time, service and error; and the way to a responder's records near a time. Records are put in
// buckets of end time one window long, so that a window [end - window, end] spans two buckets, and
// each (responder, bucket) keeps a chain of its records, newest emitted first. A record's host
// counts are then a walk of two chains, whatever order records come in (a time-out comes long
// after a linger, so end times arrive roughly, not exactly, in order).
//
// Nothing is unlinked when a record leaves the history: a chain's links lead to ever older
// serials, so a walk ends at the first serial no longer held, and a (responder, bucket) whose
// newest record has left is a stale slot, reused or dropped when its hash table is rebuilt.
#pragma once

#include "host_table.hpp"
#include "host_window.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <vector>

namespace varnel::connections {

class TimeHistory {
public:
    struct Held {
        int64_t end_us;
        uint32_t older;  // serials back to the previous record of its chain; 0: none
        ServiceId service;
        WindowError error;
    };
    static_assert(sizeof(Held) == 16);

    // Held serials are 32-bit; at most this many, so that a stale one never passes for a held one.
    static constexpr uint32_t kMaxHeld = uint32_t{1} << 31;

    explicit TimeHistory(int64_t window_us) noexcept : bucket_us_(std::max<int64_t>(window_us, 1)) {}

    // Room for one more record: after this, push() cannot fail. Throws std::bad_alloc with
    // nothing changed.
    void reserve_one() {
        if (next_ - base_ >= blocks_.size() * kBlockSize) {
            if (blocks_.size() == blocks_.capacity()) blocks_.reserve(std::max<size_t>(8, 2 * blocks_.size()));
            blocks_.push_back(std::make_unique_for_overwrite<Held[]>(kBlockSize));
        }
        // Often enough that no stale serial lives to be taken for a held one.
        bool renew = pushed_ >= kMaxHeld;
        ipv4_.reserve_one(*this, renew);
        ipv6_.reserve_one(*this, renew);
        if (renew) pushed_ = 0;
    }

    // Adds the newest record; reserve_one() comes first.
    void push(const WindowRecord& record, int64_t end_us) noexcept {
        auto serial = static_cast<uint32_t>(next_);
        Held& held = at(next_);
        held = Held{end_us, 0, record.service, record.error};
        ++pushed_;
        ++next_;  // the new record is held from here on, as the chains' lookups need
        uint32_t newest = record.ip_version == 4 ? ipv4_.link(*this, ipv4_key(record), bucket_of(end_us), serial)
                                                 : ipv6_.link(*this, ipv6_key(record), bucket_of(end_us), serial);
        held.older = newest == serial ? 0 : serial - newest;
    }

    uint32_t size() const noexcept { return static_cast<uint32_t>(next_ - oldest_); }
    const Held& oldest() const noexcept { return at(oldest_); }

    // The oldest record leaves.
    void pop_oldest() noexcept {
        ++oldest_;
        if (oldest_ - base_ >= kBlockSize) {
            blocks_.erase(blocks_.begin());
            base_ += kBlockSize;
        }
    }

    // Hints that visit_host() comes soon for these: the slots of the chains are fetched. Always
    // inlined, as every prefetch helper: out of line, a function of nothing but prefetches passes
    // for one without effects, and the compiler drops its calls.
    [[gnu::always_inline]] void prefetch_host(const WindowRecord& self, int64_t from_us, int64_t to_us) const noexcept {
        for (int64_t bucket = bucket_of(from_us); bucket <= bucket_of(to_us); ++bucket) {
            if (self.ip_version == 4) {
                ipv4_.prefetch(ipv4_key(self), bucket);
            } else {
                ipv6_.prefetch(ipv6_key(self), bucket);
            }
        }
    }

    // Calls visit(held) for each record of the responder of `self` with from_us <= end <= to_us.
    template <class Visit>
    void visit_host(const WindowRecord& self, int64_t from_us, int64_t to_us, Visit&& visit) const {
        for (int64_t bucket = bucket_of(from_us); bucket <= bucket_of(to_us); ++bucket) {
            uint32_t newest = self.ip_version == 4 ? ipv4_.newest(*this, ipv4_key(self), bucket)
                                                   : ipv6_.newest(*this, ipv6_key(self), bucket);
            walk(newest, from_us, to_us, visit);
        }
    }

    void clear() noexcept {
        std::vector<std::unique_ptr<Held[]>>().swap(blocks_);
        base_ = oldest_ = next_ = pushed_ = 0;
        ipv4_.clear();
        ipv6_.clear();
    }

private:
    static constexpr uint64_t kBlockSize = 4096;

    using Ipv6Host = host_table::Ipv6Address;

    static uint32_t ipv4_key(const WindowRecord& record) noexcept { return static_cast<uint32_t>(record.host_high); }
    static Ipv6Host ipv6_key(const WindowRecord& record) noexcept { return {record.host_high, record.host_low}; }

    int64_t bucket_of(int64_t time_us) const noexcept {
        int64_t bucket = time_us / bucket_us_;
        return time_us % bucket_us_ < 0 ? bucket - 1 : bucket;
    }

    bool is_held(uint32_t serial) const noexcept {
        return static_cast<uint32_t>(serial - static_cast<uint32_t>(oldest_)) < size();
    }

    // The held record of a held serial.
    uint64_t full_serial(uint32_t serial) const noexcept {
        return oldest_ + static_cast<uint32_t>(serial - static_cast<uint32_t>(oldest_));
    }
    Held& at(uint64_t serial) noexcept {
        uint64_t place = serial - base_;
        return blocks_[place / kBlockSize][place % kBlockSize];
    }
    const Held& at(uint64_t serial) const noexcept {
        uint64_t place = serial - base_;
        return blocks_[place / kBlockSize][place % kBlockSize];
    }

    // Links go back by less than their record's age in the history, so a link that reaches past
    // the oldest held serial ends the walk.
    template <class Visit>
    void walk(uint32_t serial, int64_t from_us, int64_t to_us, Visit& visit) const {
        if (!is_held(serial)) return;
        uint64_t full = full_serial(serial);
        while (true) {
            const Held& held = at(full);
            if (held.end_us >= from_us && held.end_us <= to_us) visit(held);
            if (held.older == 0 || held.older > full - oldest_) return;
            full -= held.older;
        }
    }

    // The chains of one address family: (responder, bucket) to the newest serial of its chain, by
    // open addressing. The bucket is not stored: the newest record's end time tells it.
    template <class Host>
    class Chains {
    public:
        // The newest serial of the chain of (host, bucket), or any serial not held.
        uint32_t newest(const TimeHistory& history, const Host& host, int64_t bucket) const noexcept {
            if (slots_.empty()) return static_cast<uint32_t>(history.oldest_ - 1);
            size_t mask = slots_.size() - 1;
            for (size_t at = home_of(host, bucket); slots_[at].used; at = (at + 1) & mask) {
                if (is_chain(history, slots_[at], host, bucket)) return slots_[at].newest;
            }
            return static_cast<uint32_t>(history.oldest_ - 1);
        }

        [[gnu::always_inline]] void prefetch(const Host& host, int64_t bucket) const noexcept {
            if (!slots_.empty()) __builtin_prefetch(&slots_[home_of(host, bucket)]);
        }

        // Makes `serial` the newest of its chain; returns the newest before it, or `serial` itself
        // when the chain is new. Needs reserve_one() first.
        uint32_t link(const TimeHistory& history, const Host& host, int64_t bucket, uint32_t serial) noexcept {
            size_t mask = slots_.size() - 1;
            Slot* reusable = nullptr;
            size_t at = home_of(host, bucket);
            for (; slots_[at].used; at = (at + 1) & mask) {
                Slot& slot = slots_[at];
                if (is_chain(history, slot, host, bucket)) {
                    uint32_t before = slot.newest;
                    slot.newest = serial;
                    return before;
                }
                if (reusable == nullptr && !history.is_held(slot.newest)) reusable = &slot;
            }
            if (reusable == nullptr) {
                reusable = &slots_[at];
                ++used_;
            }
            *reusable = Slot{host, serial, true};
            return serial;
        }

        // Room for one more chain below three quarters' load; `renew` rebuilds all the same,
        // dropping the stale slots.
        void reserve_one(const TimeHistory& history, bool renew) {
            if ((used_ + 1) * 4 <= slots_.size() * 3 && !renew) return;
            size_t live = 0;
            for (const Slot& slot : slots_) live += slot.used && history.is_held(slot.newest) ? 1 : 0;
            std::vector<Slot> previous(std::max<size_t>(64, std::bit_ceil(2 * (live + 1))), Slot{});
            previous.swap(slots_);
            used_ = 0;
            size_t mask = slots_.size() - 1;
            for (const Slot& slot : previous) {
                if (!slot.used || !history.is_held(slot.newest)) continue;
                size_t at = home_of(slot.host, history.bucket_of(history.at(history.full_serial(slot.newest)).end_us));
                while (slots_[at].used) at = (at + 1) & mask;
                slots_[at] = slot;
                ++used_;
            }
        }

        void clear() noexcept {
            std::vector<Slot>().swap(slots_);
            used_ = 0;
        }

    private:
        struct Slot {
            Host host{};
            uint32_t newest = 0;
            bool used = false;
        };

        static uint64_t word_of(uint32_t host) noexcept { return host; }
        static uint64_t word_of(const Ipv6Host& host) noexcept { return host_table::mix(host.high) ^ host.low; }

        size_t home_of(const Host& host, int64_t bucket) const noexcept {
            uint64_t folded = (word_of(host) ^ host_table::hash_seed) * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(bucket);
            return host_table::mix(folded) & (slots_.size() - 1);
        }

        static bool is_chain(const TimeHistory& history, const Slot& slot, const Host& host, int64_t bucket) noexcept {
            if (!(slot.host == host) || !history.is_held(slot.newest)) return false;
            return history.bucket_of(history.at(history.full_serial(slot.newest)).end_us) == bucket;
        }

        std::vector<Slot> slots_;
        size_t used_ = 0;  // slots in use, stale ones included
    };

    int64_t bucket_us_;
    std::vector<std::unique_ptr<Held[]>> blocks_;  // the held records, from serial base_ on
    uint64_t base_ = 0;
    uint64_t oldest_ = 0;  // the oldest serial held
    uint64_t next_ = 0;    // the serial the next record gets
    uint64_t pushed_ = 0;  // since the chains were last rebuilt
    Chains<uint32_t> ipv4_;
    Chains<Ipv6Host> ipv6_;
};

}  // namespace varnel::connections
