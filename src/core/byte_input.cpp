#include "byte_input.hpp"

#include "decompressor.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace varnel {

namespace {

// Room past the largest ordinary record (262144 bytes and its header), so that every read of an
// ordinary file still asks for at least kBlockSize bytes.
constexpr size_t kSlack = size_t{1} << 19;
constexpr size_t kPackedSize = size_t{1} << 18;

bool starts_with(const uint8_t* bytes, size_t size, const uint8_t* magic, size_t magic_size) {
    return size >= magic_size && std::memcmp(bytes, magic, magic_size) == 0;
}

}  // namespace

const char* compression_name(Compression compression) noexcept {
    switch (compression) {
        case Compression::Gzip: return "gzip";
        case Compression::Zstd: return "zstd";
        case Compression::Xz: return "xz";
        case Compression::None: break;
    }
    return "none";
}

ByteInput::ByteInput() = default;
ByteInput::~ByteInput() { close(); }

bool ByteInput::attach(int descriptor) {
    close();
    descriptor_ = descriptor;
    struct stat status {};
    if (fstat(descriptor, &status) != 0) {
        failure_errno_ = errno;
        return false;
    }
    regular_ = S_ISREG(status.st_mode);
    // Read front to back once: the kernel then reads further ahead.
    if (regular_) posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

Compression ByteInput::sniff() const noexcept {
    static constexpr uint8_t kGzip[] = {0x1f, 0x8b};
    static constexpr uint8_t kZstd[] = {0x28, 0xb5, 0x2f, 0xfd};
    static constexpr uint8_t kXz[] = {0xfd, '7', 'z', 'X', 'Z', 0x00};
    if (starts_with(cursor(), available(), kGzip, sizeof kGzip)) return Compression::Gzip;
    if (starts_with(cursor(), available(), kZstd, sizeof kZstd)) return Compression::Zstd;
    if (starts_with(cursor(), available(), kXz, sizeof kXz)) return Compression::Xz;
    return Compression::None;
}

bool ByteInput::decompress(Compression compression) {
    decompressor_ = make_decompressor(compression);
    if (!decompressor_) return false;
    // What was read so far is compressed: it becomes the decompressor's first input.
    packed_capacity_ = std::max(kPackedSize, available());
    packed_ = std::make_unique_for_overwrite<uint8_t[]>(packed_capacity_);
    std::memcpy(packed_.get(), cursor(), available());
    packed_start_ = 0;
    packed_end_ = available();
    packed_read_ = static_cast<long long>(end_);
    cursor_ = end_ = 0;
    consumed_ = 0;
    return true;
}

long long ByteInput::position() const noexcept {
    return decompressor_ ? packed_read_ : consumed_;
}

bool ByteInput::restrict_to(uint64_t offset, uint64_t stop) {
    if (!regular_ || decompressor_ || offset > stop) return false;
    if (lseek(descriptor_, static_cast<off_t>(offset), SEEK_SET) < 0) {
        failure_errno_ = errno;
        return false;
    }
    cursor_ = end_ = 0;
    consumed_ = static_cast<long long>(offset);
    stop_ = stop;
    ended_ = false;
    return true;
}

bool ByteInput::wait_readable(int timeout_ms) const {
    if (regular_ || descriptor_ < 0) return true;
    pollfd input{descriptor_, POLLIN, 0};
    return poll(&input, 1, timeout_ms) > 0;
}

void ByteInput::close() noexcept {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
    buffer_.reset();
    capacity_ = cursor_ = end_ = 0;
    consumed_ = 0;
    stop_ = UINT64_MAX;
    regular_ = ended_ = false;
    decompressor_.reset();
    packed_.reset();
    packed_capacity_ = 0;
    packed_start_ = packed_end_ = 0;
    packed_read_ = 0;
    failure_text_.clear();
    failure_errno_ = 0;
}

Fill ByteInput::refill(size_t count) {
    make_room(count);
    while (end_ - cursor_ < count) {
        if (ended_) return Fill::End;
        size_t got = 0;
        const size_t room = std::min(capacity_ - end_, std::max(kBlockSize, count - (end_ - cursor_)));
        Read outcome = decompressor_ ? read_decompressed(buffer_.get() + end_, room, &got)
                                     : read_raw(buffer_.get() + end_, room, &got);
        end_ += got;
        switch (outcome) {
            case Read::Some: break;
            case Read::End: ended_ = true; break;
            case Read::WouldBlock: return end_ - cursor_ >= count ? Fill::Ready : Fill::WouldBlock;
            case Read::Failed: return Fill::Failed;
        }
    }
    return Fill::Ready;
}

// The unconsumed tail moves to the front (it is shorter than one record), and the buffer grows
// only for a record larger than it.
void ByteInput::make_room(size_t count) {
    const size_t pending = end_ - cursor_;
    const size_t wanted = std::max(count, kBlockSize) + kSlack;
    if (capacity_ < wanted && (capacity_ == 0 || count > capacity_ - kSlack)) {
        auto larger = std::make_unique_for_overwrite<uint8_t[]>(wanted);
        if (pending != 0) std::memcpy(larger.get(), buffer_.get() + cursor_, pending);
        buffer_ = std::move(larger);
        capacity_ = wanted;
    } else if (cursor_ != 0) {
        std::memmove(buffer_.get(), buffer_.get() + cursor_, pending);
    }
    cursor_ = 0;
    end_ = pending;
}

ByteInput::Read ByteInput::fail(int error_number) {
    failure_errno_ = error_number;
    failure_text_ = std::strerror(error_number);
    return Read::Failed;
}

// A pipe is polled first: a read then never waits, and no flag of a descriptor shared with other
// processes (a terminal, a parent's pipe) has to change.
ByteInput::Read ByteInput::read_raw(uint8_t* into, size_t room, size_t* got) {
    *got = 0;
    if (!decompressor_ && stop_ != UINT64_MAX) {
        const uint64_t offset = static_cast<uint64_t>(consumed_) + (end_ - cursor_);
        room = static_cast<size_t>(std::min<uint64_t>(room, stop_ > offset ? stop_ - offset : 0));
        if (room == 0) return Read::End;
    }
    if (!regular_) {
        pollfd input{descriptor_, POLLIN, 0};
        int ready = poll(&input, 1, 0);
        if (ready < 0 && errno != EINTR) return fail(errno);
        if (ready <= 0) return Read::WouldBlock;
    }
    for (;;) {
        ssize_t count = ::read(descriptor_, into, room);
        if (count > 0) {
            *got = static_cast<size_t>(count);
            return Read::Some;
        }
        if (count == 0) return Read::End;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Read::WouldBlock;
        return fail(errno);
    }
}

ByteInput::Read ByteInput::read_decompressed(uint8_t* into, size_t room, size_t* got) {
    *got = 0;
    bool input_ended = false;
    for (;;) {
        size_t used = 0;
        long produced = decompressor_->produce(packed_.get() + packed_start_, packed_end_ - packed_start_, &used,
                                               into, room, input_ended);
        packed_start_ += used;
        if (produced > 0) {
            *got = static_cast<size_t>(produced);
            return Read::Some;
        }
        if (decompressor_->failed()) {
            failure_text_ = decompressor_->failure_text();
            failure_errno_ = 0;
            return Read::Failed;
        }
        if (input_ended) {
            if (used != 0) continue;
            if (decompressor_->at_boundary() && packed_start_ == packed_end_) return Read::End;
            failure_text_ = std::string("truncated ") + decompressor_->name() +
                            "-compressed dump file; the compressed data ends inside a stream";
            failure_errno_ = 0;
            return Read::Failed;
        }
        if (used != 0 && packed_start_ < packed_end_) continue;
        // The decompressor needs more input: the unread part moves to the front, then a read.
        const size_t pending = packed_end_ - packed_start_;
        std::memmove(packed_.get(), packed_.get() + packed_start_, pending);
        packed_start_ = 0;
        packed_end_ = pending;
        size_t read = 0;
        switch (read_raw(packed_.get() + packed_end_, packed_capacity_ - packed_end_, &read)) {
            case Read::Some: packed_end_ += read; packed_read_ += static_cast<long long>(read); break;
            case Read::End: input_ended = true; break;
            case Read::WouldBlock: return Read::WouldBlock;
            case Read::Failed: return Read::Failed;
        }
    }
}

}  // namespace varnel
