// The memory of column batches: plain malloc'd blocks, so that an Arrow consumer's release
// callback can free what it was handed without knowing who filled it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnel::columns {

// One malloc'd buffer, handed over to the consumer when a batch is exported.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept;
    Buffer& operator=(Buffer&& other) noexcept;
    ~Buffer();

    void allocate(size_t bytes);  // throws std::bad_alloc; the old contents are dropped
    void grow(size_t bytes);      // at least `bytes`, contents kept; throws std::bad_alloc
    void shrink(size_t bytes) noexcept;
    void reset() noexcept;

    uint8_t* bytes() const noexcept { return data_; }
    template <class T>
    T* as() const noexcept {
        return reinterpret_cast<T*>(data_);
    }
    size_t capacity() const noexcept { return capacity_; }

private:
    uint8_t* data_ = nullptr;
    size_t capacity_ = 0;
};

}  // namespace varnel::columns
