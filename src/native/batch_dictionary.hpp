// The values of a dictionary-encoded text column, built afresh for each batch as its rows are
// filled. A value is looked up by the raw bytes its text is written from (an address, a MAC, a
// local second), so that a batch writes each distinct text once and every other row costs one
// hash lookup, or none when it repeats the row before. Nothing here touches the interpreter.
#pragma once

#include "buffer.hpp"
#include "host_table.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace varnel::columns {

// The raw value a text is written from: up to 16 bytes, zero-padded, and what they are (an IP
// version, whether a MAC is there), since equal bytes of different kinds have different texts.
struct ValueKey {
    uint64_t high = 0, low = 0;
    uint32_t kind = 0;

    // The key of `Size` bytes (4, 6 or 16). Each is read in whole words: a word written in parts
    // and read back at once would stall the lookup that follows.
    template <size_t Size>
    static ValueKey of(const uint8_t* bytes, uint32_t kind) noexcept {
        static_assert(Size == 4 || Size == 6 || Size == 16);
        ValueKey key{0, 0, kind};
        if constexpr (Size == 16) {
            std::memcpy(&key.high, bytes, 8);
            std::memcpy(&key.low, bytes + 8, 8);
        } else {
            uint32_t first = 0;
            std::memcpy(&first, bytes, 4);
            key.high = first;
            if constexpr (Size == 6) {
                uint16_t rest = 0;
                std::memcpy(&rest, bytes + 4, 2);
                key.high |= uint64_t{rest} << 32;
            }
        }
        return key;
    }
    bool operator==(const ValueKey&) const = default;
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

    // The index of `key`'s value. A value new to the batch is added, its text written by
    // `write(char* out) -> size_t` in at most `max_text` bytes. Throws std::bad_alloc with
    // nothing added.
    template <class Write>
    int16_t index_of(const ValueKey& key, size_t max_text, Write&& write) {
        if (last_ != nullptr && last_->holds(key)) return last_->index;
        size_t slot = hash_of(key) & mask_;
        for (; slots_[slot].index >= 0; slot = (slot + 1) & mask_) {
            if (slots_[slot].holds(key)) {
                last_ = &slots_[slot];
                return last_->index;
            }
        }
        return add(key, slot, max_text, write);
    }

    // Hands the values over as the buffers of an Arrow utf8 array: int32 offsets, then the bytes,
    // each trimmed to its size. Nothing is left until the next start().
    Buffer take_offsets() noexcept;
    Buffer take_text() noexcept;

private:
    // A key with its value's index in the table itself, so that a lookup reads one place.
    struct Slot {
        uint64_t high, low;
        uint32_t kind;
        int16_t index;  // -1: empty

        bool holds(const ValueKey& key) const noexcept {
            return high == key.high && low == key.low && kind == key.kind;
        }
    };

    static size_t hash_of(const ValueKey& key) noexcept {
        using host_table::hash_seed, host_table::mix;
        return static_cast<size_t>(mix(mix(key.high ^ hash_seed) ^ key.low ^ (uint64_t{key.kind} << 32)));
    }

    // Adds `key` at its empty `slot`, as index_of.
    template <class Write>
    int16_t add(const ValueKey& key, size_t slot, size_t max_text, Write&& write) {
        // The caller ends its batch once full(); past that the offsets have no room.
        if (full()) throw std::logic_error("a full batch dictionary was given a new value");
        if ((size_ + 1) * 2 > slots_.size()) slot = grow_slots(key);
        if (text_size_ + max_text > text_.capacity()) text_.grow(text_size_ + max_text);
        text_size_ += write(reinterpret_cast<char*>(text_.bytes()) + text_size_);
        const auto index = static_cast<int16_t>(size_++);
        offsets_.as<int32_t>()[index + 1] = static_cast<int32_t>(text_size_);
        slots_[slot] = Slot{key.high, key.low, key.kind, index};
        last_ = &slots_[slot];
        return index;
    }

    // Twice the slots, and the empty slot `key` goes to among them; throws std::bad_alloc with the
    // table as it was.
    size_t grow_slots(const ValueKey& key);

    // Open addressing, linear probing, at most half the slots in use. The table starts small and
    // doubles, so that a batch of few values keeps them in the nearest cache.
    std::vector<Slot> slots_;
    size_t mask_ = 0;
    const Slot* last_ = nullptr;  // the row before's value, null for none
    size_t size_ = 0;
    size_t room_ = 0;
    Buffer offsets_, text_;
    size_t text_size_ = 0;
};

}  // namespace varnel::columns
