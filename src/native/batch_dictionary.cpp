#include "batch_dictionary.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace varnel::columns {
namespace {

// Most batches hold a few thousand distinct values of at most 45 bytes; more grows the buffer.
constexpr size_t kInitialText = size_t{64} << 10;
constexpr size_t kInitialSlots = 1024;

}  // namespace

void BatchDictionary::start(size_t rows) {
    const size_t room = std::clamp<size_t>(rows, 1, kMaxValues);
    const size_t slot_count = std::min(std::bit_ceil(room * 2), kInitialSlots);
    slots_.assign(slot_count, Slot{0, 0, 0, -1});
    mask_ = slot_count - 1;
    last_ = nullptr;
    offsets_.allocate((room + 1) * sizeof(int32_t));
    offsets_.as<int32_t>()[0] = 0;
    text_.allocate(std::min(room * 16, kInitialText));
    text_size_ = 0;
    size_ = 0;
    room_ = room;
}

size_t BatchDictionary::grow_slots(const ValueKey& key) {
    std::vector<Slot> grown(slots_.size() * 2, Slot{0, 0, 0, -1});
    const size_t mask = grown.size() - 1;
    auto empty_slot = [&](const ValueKey& value) {
        size_t slot = hash_of(value) & mask;
        while (grown[slot].index >= 0) slot = (slot + 1) & mask;
        return slot;
    };
    for (const Slot& used : slots_) {
        if (used.index >= 0) grown[empty_slot({used.high, used.low, used.kind})] = used;
    }
    const size_t slot = empty_slot(key);
    slots_ = std::move(grown);
    mask_ = mask;
    last_ = nullptr;
    return slot;
}

Buffer BatchDictionary::take_offsets() noexcept {
    offsets_.shrink((size_ + 1) * sizeof(int32_t));
    room_ = 0;  // full: nothing can be added to buffers handed over
    return std::move(offsets_);
}

Buffer BatchDictionary::take_text() noexcept {
    text_.shrink(text_size_);
    room_ = 0;
    return std::move(text_);
}

}  // namespace varnel::columns
