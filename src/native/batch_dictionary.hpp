// The values of a dictionary-encoded text column, built afresh for each batch as its rows are
// filled. A value is looked up by the raw bytes its text is written from (an address, a MAC, a
// local second), so that a batch writes each distinct text once and every other row costs one
// hash lookup, or none when it repeats the row before. Nothing here touches the interpreter.
#pragma once

#include "buffer.hpp"
#include "host_table.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace varnel::columns {

struct Ipv6Key {
    uint64_t high, low;
    bool operator==(const Ipv6Key&) const = default;
};

// Seeded, so that nobody can choose values that all land in one slot.
inline uint64_t hash_key(uint32_t key) noexcept { return host_table::mix(key ^ host_table::hash_seed); }
inline uint64_t hash_key(uint64_t key) noexcept { return host_table::mix(key ^ host_table::hash_seed); }
inline uint64_t hash_key(const Ipv6Key& key) noexcept {
    return host_table::mix(host_table::mix(key.high ^ host_table::hash_seed) ^ key.low);
}

// Values' indices by their raw keys: open addressing, linear probing, at most half the slots in
// use. Each key width has its table, so that slots stay small and lookups stay in the nearest
// cache: 8 bytes a slot for IPv4, 16 for MACs and seconds, 24 for IPv6.
template <class Key>
class KeyIndex {
public:
    static constexpr size_t kInitialSlots = 1024;

    // Empty, for at most `values` values. A table keeps the size it grew to in earlier batches.
    void reset(size_t values) {
        max_slots_ = std::bit_ceil(values * 2);
        const size_t count = std::clamp(slots_.size(), std::min(kInitialSlots, max_slots_), max_slots_);
        slots_.assign(count, Slot{Key{}, -1});
        mask_ = count - 1;
        used_ = 0;
        last_ = nullptr;
    }
    // The index of `key`, or -1 with `slot` where it would go.
    int16_t find(const Key& key, size_t& slot) noexcept {
        if (last_ != nullptr && last_->key == key) return last_->index;
        for (slot = hash_key(key) & mask_; slots_[slot].index >= 0; slot = (slot + 1) & mask_) {
            if (slots_[slot].key == key) {
                last_ = &slots_[slot];
                return last_->index;
            }
        }
        return -1;
    }
    // Room for one more key; `slot` (where find put it) moves when the table grows. Throws
    // std::bad_alloc with the table as it was.
    void make_room(const Key& key, size_t& slot) {
        if ((used_ + 1) * 2 <= slots_.size() || slots_.size() >= max_slots_) return;
        std::vector<Slot> grown(slots_.size() * 2, Slot{Key{}, -1});
        const size_t mask = grown.size() - 1;
        for (const Slot& filled : slots_) {
            if (filled.index >= 0) grown[empty_slot(grown, mask, filled.key)] = filled;
        }
        slot = empty_slot(grown, mask, key);
        slots_ = std::move(grown);
        mask_ = mask;
        last_ = nullptr;
    }
    void put(size_t slot, const Key& key, int16_t index) noexcept {
        slots_[slot] = Slot{key, index};
        last_ = &slots_[slot];
        ++used_;
    }

private:
    struct Slot {
        Key key;
        int16_t index;  // -1: empty
    };

    static size_t empty_slot(const std::vector<Slot>& slots, size_t mask, const Key& key) noexcept {
        size_t slot = hash_key(key) & mask;
        while (slots[slot].index >= 0) slot = (slot + 1) & mask;
        return slot;
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t used_ = 0;
    size_t max_slots_ = 0;
    const Slot* last_ = nullptr;  // the row before's value, null for none
};

class BatchDictionary {
public:
    // Indices are int16: a dictionary holds at most this many values, and a batch ends when one
    // of its dictionaries is full.
    static constexpr size_t kMaxValues = 32767;

    // Empty, with room for the values of a batch of up to `rows` rows; throws std::bad_alloc.
    void start(size_t rows);
    // No room for another value: the batch must end before a row that might bring one.
    bool full() const noexcept { return size_ >= room_; }
    size_t size() const noexcept { return size_; }

    // The index of the value of `key` (a uint32_t, a uint64_t or an Ipv6Key; keys of different
    // types are different values). A value new to the batch is added, its text written by
    // `write(char* out) -> size_t` in at most `max_text` bytes. Throws std::bad_alloc with
    // nothing added.
    template <class Key, class Write>
    int16_t index_of(const Key& key, size_t max_text, Write&& write) {
        KeyIndex<Key>& keys = keys_of<Key>();
        size_t slot = 0;
        const int16_t found = keys.find(key, slot);
        if (found >= 0) return found;
        // The caller ends its batch once full(); past that the offsets have no room.
        if (full()) throw std::logic_error("a full batch dictionary was given a new value");
        keys.make_room(key, slot);
        if (text_size_ + max_text > text_.capacity()) text_.grow(text_size_ + max_text);
        text_size_ += write(reinterpret_cast<char*>(text_.bytes()) + text_size_);
        const auto index = static_cast<int16_t>(size_++);
        offsets_.as<int32_t>()[index + 1] = static_cast<int32_t>(text_size_);
        keys.put(slot, key, index);
        return index;
    }

    // Hands the values over as the buffers of an Arrow utf8 array: int32 offsets, then the bytes,
    // each trimmed to its size. Nothing is left until the next start().
    Buffer take_offsets() noexcept;
    Buffer take_text() noexcept;

private:
    template <class Key>
    KeyIndex<Key>& keys_of() noexcept {
        if constexpr (std::is_same_v<Key, uint32_t>) return narrow_keys_;
        else if constexpr (std::is_same_v<Key, uint64_t>) return wide_keys_;
        else return ipv6_keys_;
    }

    KeyIndex<uint32_t> narrow_keys_;
    KeyIndex<uint64_t> wide_keys_;
    KeyIndex<Ipv6Key> ipv6_keys_;
    size_t size_ = 0;
    size_t room_ = 0;
    Buffer offsets_, text_;
    size_t text_size_ = 0;
};

}  // namespace varnel::columns
