#include "batch_dictionary.hpp"

#include <algorithm>
#include <utility>

namespace varnel::columns {
namespace {

// Most batches hold a few thousand distinct values of at most 45 bytes; more grows the buffer.
constexpr size_t kInitialText = size_t{64} << 10;

}  // namespace

void BatchDictionary::start(size_t rows) {
    const size_t room = std::clamp<size_t>(rows, 1, kMaxValues);
    narrow_keys_.reset(room);
    wide_keys_.reset(room);
    ipv6_keys_.reset(room);
    offsets_.allocate((room + 1) * sizeof(int32_t));
    offsets_.as<int32_t>()[0] = 0;
    text_.allocate(std::min(room * 16, kInitialText));
    text_size_ = 0;
    size_ = 0;
    room_ = room;
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
