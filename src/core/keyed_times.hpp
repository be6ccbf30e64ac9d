// Entries (key, end time, class) sorted by (key, end time), in chunks of parallel arrays: the
// entries of one key within a time range lie side by side, found by two binary searches.
// Insertions go anywhere, most near the end of their key's run.
//
// The class is below kClasses, and each chunk keeps, for each class but the first, how many
// entries before each position are of it, so that tally() counts a range without a walk: the two
// ends, and one step per chunk in between. An insertion or erasure moves those counts along with
// the entries and adds one to, or takes one from, those after it. Entries equal in all three are
// alike to every count, so an erasure takes any one of them.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace varnel::connections {

template <class Key, class Extra>
class KeyedTimes {
public:
    static constexpr size_t kClasses = 3;
    using Tally = std::array<uint32_t, kClasses>;

    // Adds an entry after any equal (key, end time). Throws std::bad_alloc with nothing changed.
    void insert(const Key& key, int64_t end_us, const Extra& extra) {
        if (chunks_.empty()) {
            auto first = std::make_unique<Chunk>();
            lasts_.reserve(1);
            chunks_.reserve(1);
            chunks_.push_back(std::move(first));
            lasts_.push_back({key, end_us});
        }
        size_t chunk = chunk_after(key, end_us);
        if (chunks_[chunk]->size == kCapacity) chunk = make_room(chunk, key, end_us);
        Chunk& into = *chunks_[chunk];
        into.insert_at(position_after(into, key, end_us), key, end_us, extra);
        refresh_last(chunk);
        ++size_;
    }

    // Removes an entry inserted with these values, if one is held.
    void erase(const Key& key, int64_t end_us, const Extra& extra) noexcept {
        for (size_t chunk = chunk_from(key, end_us); chunk < chunks_.size(); ++chunk) {
            Chunk& held = *chunks_[chunk];
            for (size_t at = position_from(held, key, end_us); at < held.size; ++at) {
                if (held.keys[at] != key || held.ends[at] != end_us) return;
                if (held.extras[at] != extra) continue;
                held.erase_at(at);
                --size_;
                settle(chunk);
                return;
            }
        }
    }

    // The entries of `key` with from_us <= end time <= to_us, counted by class.
    Tally tally(const Key& key, int64_t from_us, int64_t to_us) const noexcept {
        Tally counts{};
        size_t first = chunk_from(key, from_us);
        size_t last = chunk_from_after(key, to_us);
        for (size_t chunk = first; chunk <= last && chunk < chunks_.size(); ++chunk) {
            const Chunk& held = *chunks_[chunk];
            size_t low = chunk == first ? position_from(held, key, from_us) : 0;
            size_t high = chunk == last ? position_after(held, key, to_us) : held.size;
            if (high <= low) continue;
            uint32_t classified = 0;
            for (size_t kind = 1; kind < kClasses; ++kind) {
                uint32_t found = held.before[kind - 1][high] - held.before[kind - 1][low];
                counts[kind] += found;
                classified += found;
            }
            counts[0] += static_cast<uint32_t>(high - low) - classified;
        }
        return counts;
    }

    void clear() noexcept {
        std::vector<std::unique_ptr<Chunk>>().swap(chunks_);
        std::vector<Last>().swap(lasts_);
        size_ = 0;
    }

    size_t size() const noexcept { return size_; }

private:
    static constexpr uint32_t kCapacity = 128;

    // For each class but the first, the entries of that class before each position.
    struct Chunk {
        uint8_t before[kClasses - 1][kCapacity + 1] = {};
        uint32_t size = 0;
        Key keys[kCapacity] = {};
        int64_t ends[kCapacity] = {};
        Extra extras[kCapacity] = {};

        // Puts an entry at `at`, moving those from there one place up; the chunk has room.
        void insert_at(size_t at, const Key& key, int64_t end_us, const Extra& extra) noexcept {
            std::copy_backward(keys + at, keys + size, keys + size + 1);
            std::copy_backward(ends + at, ends + size, ends + size + 1);
            std::copy_backward(extras + at, extras + size, extras + size + 1);
            keys[at] = key;
            ends[at] = end_us;
            extras[at] = extra;
            for (size_t kind = 1; kind < kClasses; ++kind) {
                uint8_t* counts = before[kind - 1];
                std::copy_backward(counts + at, counts + size + 1, counts + size + 2);
                if (static_cast<size_t>(extra) != kind) continue;
                for (size_t index = at + 1; index <= size + 1; ++index) ++counts[index];
            }
            ++size;
        }

        // Takes the entry at `at` away, moving those after it one place down.
        void erase_at(size_t at) noexcept {
            for (size_t kind = 1; kind < kClasses; ++kind) {
                uint8_t* counts = before[kind - 1];
                std::copy(counts + at + 2, counts + size + 1, counts + at + 1);
                if (static_cast<size_t>(extras[at]) != kind) continue;
                for (size_t index = at + 1; index < size; ++index) --counts[index];
            }
            std::copy(keys + at + 1, keys + size, keys + at);
            std::copy(ends + at + 1, ends + size, ends + at);
            std::copy(extras + at + 1, extras + size, extras + at);
            --size;
        }

        // The counts from position `from` on, after entries there were replaced wholesale.
        void recount(size_t from = 0) noexcept {
            for (size_t kind = 1; kind < kClasses; ++kind) {
                uint8_t* counts = before[kind - 1];
                for (size_t index = from; index < size; ++index) {
                    counts[index + 1] = static_cast<uint8_t>(counts[index] + (static_cast<size_t>(extras[index]) == kind));
                }
            }
        }
    };

    // The last (key, end time) of each chunk, side by side for the search over chunks.
    struct Last {
        Key key;
        int64_t end_us;
    };

    static bool precedes(const Key& key_a, int64_t end_a, const Key& key_b, int64_t end_b) noexcept {
        return key_a < key_b || (key_a == key_b && end_a < end_b);
    }

    static bool last_before(const Last& a, const Last& b) noexcept { return precedes(a.key, a.end_us, b.key, b.end_us); }

    // The first chunk that may hold (key, end_us) or anything after it.
    size_t chunk_from(const Key& key, int64_t end_us) const noexcept {
        auto found = std::lower_bound(lasts_.begin(), lasts_.end(), Last{key, end_us}, last_before);
        return static_cast<size_t>(found - lasts_.begin());
    }

    // The first chunk holding anything after (key, end_us).
    size_t chunk_from_after(const Key& key, int64_t end_us) const noexcept {
        auto found = std::upper_bound(lasts_.begin(), lasts_.end(), Last{key, end_us}, last_before);
        return static_cast<size_t>(found - lasts_.begin());
    }

    // The chunk an entry after every equal one goes into. Between two chunks it goes at the end of
    // the first, so that a run filled in order fills its chunks (see split).
    size_t chunk_after(const Key& key, int64_t end_us) const noexcept {
        size_t chunk = std::min(chunk_from_after(key, end_us), chunks_.size() - 1);
        if (chunk > 0 && position_after(*chunks_[chunk], key, end_us) == 0) --chunk;
        return chunk;
    }

    static size_t position_from(const Chunk& chunk, const Key& key, int64_t end_us) noexcept {
        size_t low = 0, high = chunk.size;
        while (low < high) {
            size_t middle = (low + high) / 2;
            if (precedes(chunk.keys[middle], chunk.ends[middle], key, end_us)) {
                low = middle + 1;
            } else {
                high = middle;
            }
        }
        return low;
    }

    static size_t position_after(const Chunk& chunk, const Key& key, int64_t end_us) noexcept {
        size_t low = 0, high = chunk.size;
        while (low < high) {
            size_t middle = (low + high) / 2;
            if (precedes(key, end_us, chunk.keys[middle], chunk.ends[middle])) {
                high = middle;
            } else {
                low = middle + 1;
            }
        }
        return low;
    }

    void refresh_last(size_t chunk) noexcept {
        const Chunk& held = *chunks_[chunk];
        lasts_[chunk] = Last{held.keys[held.size - 1], held.ends[held.size - 1]};
    }

    bool has_room(size_t chunk) const noexcept { return chunk < chunks_.size() && chunks_[chunk]->size < kCapacity; }

    // Makes room for an entry bound for a full chunk, and returns the chunk it goes into. A
    // neighbour with room takes an entry first, so that chunks stay mostly full however the
    // insertions fall; only then is the chunk split.
    size_t make_room(size_t chunk, const Key& key, int64_t end_us) {
        Chunk& full = *chunks_[chunk];
        size_t at = position_after(full, key, end_us);
        if (at == full.size) return has_room(chunk + 1) ? chunk + 1 : split(chunk, key, end_us);
        if (at > 0 && chunk > 0 && has_room(chunk - 1)) {
            Chunk& previous = *chunks_[chunk - 1];
            previous.insert_at(previous.size, full.keys[0], full.ends[0], full.extras[0]);
            full.erase_at(0);
            refresh_last(chunk - 1);
            return chunk;
        }
        if (has_room(chunk + 1)) {
            Chunk& next = *chunks_[chunk + 1];
            size_t last = full.size - 1;
            next.insert_at(0, full.keys[last], full.ends[last], full.extras[last]);
            full.erase_at(last);
            refresh_last(chunk);
            return chunk;
        }
        return split(chunk, key, end_us);
    }

    // Splits a full chunk before an insertion, and returns the chunk the entry goes into. An
    // entry going at the very end of the chunk starts a chunk of its own, so that runs filled in
    // order stay full; any other split is in halves. Allocates before changing anything.
    size_t split(size_t chunk, const Key& key, int64_t end_us) {
        auto upper = std::make_unique<Chunk>();
        if (chunks_.size() == chunks_.capacity() || lasts_.size() == lasts_.capacity()) {
            chunks_.reserve(2 * chunks_.size());
            lasts_.reserve(2 * chunks_.size());
        }
        Chunk& lower = *chunks_[chunk];
        bool at_end = position_after(lower, key, end_us) == lower.size;
        uint32_t keep = at_end ? kCapacity : kCapacity / 2;
        for (uint32_t at = keep; at < lower.size; ++at) {
            upper->keys[at - keep] = lower.keys[at];
            upper->ends[at - keep] = lower.ends[at];
            upper->extras[at - keep] = lower.extras[at];
        }
        upper->size = lower.size - keep;
        upper->recount();
        lower.size = keep;
        chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(chunk) + 1, std::move(upper));
        Last upper_last = at_end ? Last{key, end_us} : lasts_[chunk];
        lasts_.insert(lasts_.begin() + static_cast<std::ptrdiff_t>(chunk) + 1, upper_last);
        refresh_last(chunk);
        if (at_end) return chunk + 1;  // empty until the caller puts the entry in
        return precedes(key, end_us, lasts_[chunk].key, lasts_[chunk].end_us) ? chunk : chunk + 1;
    }

    // After an erasure: an empty chunk goes, a small one joins its successor when both fit in half.
    void settle(size_t chunk) noexcept {
        Chunk& held = *chunks_[chunk];
        if (held.size == 0) {
            chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(chunk));
            lasts_.erase(lasts_.begin() + static_cast<std::ptrdiff_t>(chunk));
            return;
        }
        refresh_last(chunk);
        if (chunk + 1 < chunks_.size() && held.size + chunks_[chunk + 1]->size <= kCapacity / 2) join_next(chunk);
    }

    // Moves the entries of the next chunk to the end of this one, which has room for them.
    void join_next(size_t chunk) noexcept {
        Chunk& held = *chunks_[chunk];
        const Chunk& next = *chunks_[chunk + 1];
        size_t start = held.size;
        for (uint32_t at = 0; at < next.size; ++at) {
            held.keys[start + at] = next.keys[at];
            held.ends[start + at] = next.ends[at];
            held.extras[start + at] = next.extras[at];
        }
        held.size += next.size;
        held.recount(start);
        chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(chunk) + 1);
        lasts_.erase(lasts_.begin() + static_cast<std::ptrdiff_t>(chunk) + 1);
        refresh_last(chunk);
    }

    std::vector<std::unique_ptr<Chunk>> chunks_;
    std::vector<Last> lasts_;
    size_t size_ = 0;
};

}  // namespace varnel::connections
