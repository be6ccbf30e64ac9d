#include "buffer.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <utility>

namespace varnel::columns {

Buffer::Buffer(Buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
    if (this != &other) {
        reset();
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

Buffer::~Buffer() { reset(); }

void Buffer::allocate(size_t bytes) {
    reset();
    // Never a null buffer, even for an empty batch: consumers may read its address.
    void* data = std::malloc(bytes > 0 ? bytes : 1);
    if (data == nullptr) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(data);
    capacity_ = bytes;
}

void Buffer::grow(size_t bytes) {
    size_t grown = std::max(bytes, capacity_ * 2);
    void* data = std::realloc(data_, grown);
    if (data == nullptr) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(data);
    capacity_ = grown;
}

void Buffer::shrink(size_t bytes) noexcept {
    if (bytes >= capacity_ || data_ == nullptr) return;
    void* data = std::realloc(data_, bytes > 0 ? bytes : 1);
    if (data == nullptr) return;  // the larger block serves as well
    data_ = static_cast<uint8_t*>(data);
    capacity_ = bytes;
}

void Buffer::reset() noexcept {
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
}

}  // namespace varnel::columns
