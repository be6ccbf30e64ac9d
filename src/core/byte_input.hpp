// Where a capture file's bytes come from: a descriptor read in large blocks into one reused
// buffer, through a streaming decompressor when the file starts with a gzip, zstd or xz magic
// number. The reader asks for a number of contiguous bytes at the cursor and consumes them once a
// whole record is there, so a pipe that has only part of a record leaves the cursor where it was
// and the same request is simply made again later. Memory stays bounded by the largest record
// asked for, whatever the file's size. Plain reads, never mmap: a file truncated under the reader
// only ends early, where a mapping past its new end would raise SIGBUS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace varnel {

enum class Fill : uint8_t {
    Ready,       // at least the bytes asked for are at the cursor
    End,         // the input ended first; available() bytes are all there is
    WouldBlock,  // a pipe has no more bytes yet; ask again once it is readable
    Failed,      // a read or the decompressor failed (failure_text(), failure_errno())
};

enum class Compression : uint8_t { None, Gzip, Zstd, Xz };

// The name a message gives a compression format ("gzip", "zstd", "xz").
const char* compression_name(Compression compression) noexcept;

class Decompressor;

class ByteInput {
public:
    // What one read(2) asks for, unless a record needs more: little enough that the bytes read stay
    // in the core's cache beside the host table and the columns being filled (reads of 1 MiB made
    // the feature columns of a large capture 9-15 % slower).
    static constexpr size_t kBlockSize = size_t{1} << 17;

    ByteInput();
    ByteInput(const ByteInput&) = delete;
    ByteInput& operator=(const ByteInput&) = delete;
    ~ByteInput();

    // Takes `descriptor` over; false when fstat fails (failure_errno() says why).
    bool attach(int descriptor);
    // Puts a decompressor for `compression` between the descriptor and the buffer, handing it the
    // bytes read so far. False when this build has no library for it.
    bool decompress(Compression compression);
    // Which compression the first bytes announce; they must be at the cursor (or the file shorter).
    Compression sniff() const noexcept;

    Fill ensure(size_t count) {
        return end_ - cursor_ >= count ? Fill::Ready : refill(count);
    }
    const uint8_t* cursor() const noexcept { return buffer_.get() + cursor_; }
    uint8_t* writable_cursor() noexcept { return buffer_.get() + cursor_; }
    size_t available() const noexcept { return end_ - cursor_; }
    void consume(size_t count) noexcept {
        cursor_ += count;
        consumed_ += static_cast<long long>(count);
    }

    // Bytes of the input consumed through the cursor; for compressed input, the compressed bytes
    // read so far from the descriptor.
    long long position() const noexcept;
    // Plain regular files only: moves the cursor to `offset` (the buffer is dropped) and treats
    // `stop` as the end of the file.
    bool restrict_to(uint64_t offset, uint64_t stop);

    bool is_regular() const noexcept { return regular_; }
    bool is_compressed() const noexcept { return decompressor_ != nullptr; }
    int descriptor() const noexcept { return descriptor_; }
    // Waits at most `timeout_ms` for the descriptor to have bytes (or its end) to read.
    bool wait_readable(int timeout_ms) const;
    const std::string& failure_text() const noexcept { return failure_text_; }
    int failure_errno() const noexcept { return failure_errno_; }
    void close() noexcept;

private:
    Fill refill(size_t count);
    void make_room(size_t count);
    enum class Read : uint8_t { Some, End, WouldBlock, Failed };
    Read read_raw(uint8_t* into, size_t room, size_t* got);
    Read read_decompressed(uint8_t* into, size_t room, size_t* got);
    Read fail(int error_number);

    std::unique_ptr<uint8_t[]> buffer_;
    size_t capacity_ = 0;
    size_t cursor_ = 0;  // the bytes in [cursor_, end_) are read and not yet consumed
    size_t end_ = 0;
    long long consumed_ = 0;   // of the uncompressed bytes
    uint64_t stop_ = UINT64_MAX;  // plain files: the offset treated as the end
    int descriptor_ = -1;
    bool regular_ = false;
    bool ended_ = false;  // the descriptor reported its end

    // Compressed input: the descriptor's bytes wait here for the decompressor.
    std::unique_ptr<Decompressor> decompressor_;
    std::unique_ptr<uint8_t[]> packed_;
    size_t packed_capacity_ = 0;
    size_t packed_start_ = 0;
    size_t packed_end_ = 0;
    long long packed_read_ = 0;  // compressed bytes read from the descriptor

    std::string failure_text_;
    int failure_errno_ = 0;
};

}  // namespace varnel
