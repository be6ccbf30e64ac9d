// Where a classic pcap file can be cut into byte ranges: at record boundaries, found by walking the
// record headers exactly as libpcap reads them, so that the ranges read one after the other give
// the frames, and the damage, of reading the file whole.
#include "source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace varnel {
namespace {

constexpr size_t kFileHeaderSize = 24;
constexpr size_t kRecordHeaderSize = 16;
constexpr size_t kWalkBlock = size_t{4} << 20;
// libpcap refuses a longer record for most link types, and ends the file there: the walk stops at
// one (whatever the link type), leaving the rest of the file to the last range, read as a whole.
constexpr uint32_t kLongestRecord = 262144;

constexpr uint32_t kMicrosecondMagic = 0xa1b2c3d4;
constexpr uint32_t kNanosecondMagic = 0xa1b23c4d;

uint32_t read32(const uint8_t* bytes, bool swapped) {
    uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return swapped ? __builtin_bswap32(value) : value;
}

uint16_t read16(const uint8_t* bytes, bool swapped) {
    uint16_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return swapped ? __builtin_bswap16(value) : value;
}

// Whether the walk reads records as libpcap does for this file header: the two standard magics
// (either byte order) and version 2.4 or later. Up to 2.3 libpcap may swap a record's lengths (2.3
// where the captured length exceeds the wire length), and the modified formats have longer record
// headers.
bool walkable(const uint8_t* header, bool* swapped) {
    uint32_t magic = read32(header, false);
    *swapped = magic == __builtin_bswap32(kMicrosecondMagic) || magic == __builtin_bswap32(kNanosecondMagic);
    if (!*swapped && magic != kMicrosecondMagic && magic != kNanosecondMagic) return false;
    const uint16_t major = read16(header + 4, *swapped);
    const uint16_t minor = read16(header + 6, *swapped);
    return major == 2 && minor >= 4;
}

class BlockReader {
public:
    explicit BlockReader(int descriptor) : descriptor_(descriptor), block_(kWalkBlock) {}

    // The `size` bytes at `offset`, or null where the file holds fewer; false in `ok` on a read error.
    const uint8_t* at(uint64_t offset, size_t size, bool* ok) {
        if (offset < base_ || offset + size > base_ + filled_) {
            ssize_t got = pread(descriptor_, block_.data(), block_.size(), static_cast<off_t>(offset));
            if (got < 0) {
                *ok = false;
                return nullptr;
            }
            base_ = offset;
            filled_ = static_cast<size_t>(got);
        }
        return offset + size <= base_ + filled_ ? block_.data() + (offset - base_) : nullptr;
    }

private:
    int descriptor_;
    std::vector<uint8_t> block_;
    uint64_t base_ = 0;
    size_t filled_ = 0;
};

}  // namespace

bool split_points(const char* path, uint64_t split_bytes, std::vector<uint64_t>* cuts, CaptureError* error) {
    cuts->clear();
    int descriptor = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (descriptor < 0 || fstat(descriptor, &status) != 0) {
        error->kind = errno == ENOENT ? ErrorKind::NotFound
                      : errno == EACCES || errno == EPERM ? ErrorKind::Permission
                                                           : ErrorKind::Unreadable;
        error->error_number = errno;
        error->text = std::string(path) + ": " + std::strerror(errno);
        if (descriptor >= 0) ::close(descriptor);
        return false;
    }
    const auto size = static_cast<uint64_t>(status.st_size);
    BlockReader file(descriptor);
    bool ok = true;
    bool swapped = false;
    const uint8_t* header = S_ISREG(status.st_mode) && size > split_bytes ? file.at(0, kFileHeaderSize, &ok) : nullptr;
    if (header != nullptr && walkable(header, &swapped)) {
        uint64_t offset = kFileHeaderSize;
        uint64_t piece_start = offset;
        while (const uint8_t* record = file.at(offset, kRecordHeaderSize, &ok)) {
            const uint32_t captured = read32(record + 8, swapped);
            const uint64_t end = offset + kRecordHeaderSize + captured;
            if (captured > kLongestRecord || end > size) break;
            if (offset - piece_start >= split_bytes) {
                cuts->push_back(offset);
                piece_start = offset;
            }
            offset = end;
        }
    }
    ::close(descriptor);
    if (!ok) {
        cuts->clear();  // a file that cannot be walked is read whole; reading it will say what is wrong
    }
    return true;
}

}  // namespace varnel
