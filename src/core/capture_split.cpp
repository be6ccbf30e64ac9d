// Cutting a capture file into byte ranges that readers take apart (varnel.dask): walked through
// every record, or guessed near each cut from the record headers there.
#include "capture_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace varnel {

namespace {

constexpr int kGuessRun = 8;                            // sound headers in a row that make a guess
constexpr long kGuessSpread = 366L * 24 * 3600;         // seconds a guessed record may lie from the first
constexpr uint64_t kGuessWindow = uint64_t{256} << 10;  // bytes searched past each cut
constexpr uint32_t kMicro = 1000000;
constexpr uint32_t kNano = 1000000000;
constexpr size_t kLongestRecordHeader = 24;             // of the modified format
constexpr uint32_t kLongestWire = 1 << 20;              // bytes a sound record's packet had on the wire
constexpr uint64_t kFieldSize = 4;

// False at the file's end or on a failure: a guess then goes without these bytes.
bool read_exactly(int descriptor, uint8_t* out, size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t got = ::pread(descriptor, out, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        out += got;
        size -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

}  // namespace

// Stricter than the reader: a record with no bytes, or far longer on the wire than any link carries,
// is more likely data that looks like a header.
bool CaptureFile::sound_header(const RecordHeader& header, long first_seconds) const noexcept {
    const uint32_t fraction_limit = nanoseconds_ ? kNano : kMicro;
    return header.caplen > 0 && header.caplen <= max_caplen_ && header.caplen <= header.len &&
           header.len <= std::max(max_caplen_, kLongestWire) && header.fraction >= 0 &&
           header.fraction < fraction_limit && std::labs(header.seconds - first_seconds) <= kGuessSpread;
}

// kGuessRun sound headers from `offset`, each where the record before it ends, or sound ones up to
// the file's very end. Headers outside the window are read on their own.
bool CaptureFile::sound_run_at(uint64_t offset, const uint8_t* window, uint64_t window_start, size_t window_size,
                               uint64_t file_size, long first_seconds) const {
    const size_t header_size = record_header_size_;
    uint8_t outside[kLongestRecordHeader];
    for (int count = 0; count < kGuessRun; ++count) {
        if (offset == file_size) return count > 0;
        if (offset + header_size > file_size) return false;
        const uint8_t* at = outside;
        if (offset >= window_start && offset + header_size <= window_start + window_size) {
            at = window + (offset - window_start);
        } else if (!read_exactly(input_.descriptor(), outside, header_size, offset)) {
            return false;
        }
        const RecordHeader header = record_header(at);
        if (!sound_header(header, first_seconds)) return false;
        offset += header_size + header.caplen;
    }
    return true;
}

long long CaptureFile::guess_record_start(uint64_t target, uint64_t window, uint64_t file_size,
                                          long first_seconds) const {
    const size_t size = static_cast<size_t>(std::min(window + record_header_size_, file_size - target));
    std::vector<uint8_t> bytes(size);
    if (!read_exactly(input_.descriptor(), bytes.data(), size, target)) return -1;
    const auto sound_at = [&](uint64_t offset) {
        return sound_run_at(offset, bytes.data(), target, size, file_size, first_seconds);
    };
    for (uint64_t offset = target; offset < target + std::min<uint64_t>(window, size); ++offset) {
        if (!sound_at(offset)) continue;
        // The same records read from a field further on often look sound too (the time stamp
        // taken from the fraction, and so on): the earliest of such starts is the record's. It
        // may lie a header before the target, never as far back as the cut before (window ago).
        const uint64_t floor = target - std::min<uint64_t>({window - 1, kLongestRecordHeader, target});
        while (offset >= floor + kFieldSize && sound_at(offset - kFieldSize)) offset -= kFieldSize;
        return static_cast<long long>(offset);
    }
    return -1;
}

namespace {

// Cuts where the records that next() reads start, every `split_bytes`.
std::vector<uint64_t> walked_cuts(CaptureFile& file, uint64_t split_bytes) {
    std::vector<uint64_t> bounds;
    uint64_t piece_start = 0;
    FileRecord record{};
    while (file.next(&record) == FileRead::Record) {
        const auto offset = static_cast<uint64_t>(file.record_offset());
        if (bounds.empty() || offset - piece_start >= split_bytes) {
            bounds.push_back(offset);
            piece_start = offset;
        }
    }
    return bounds;
}

// Cuts found near every `split_bytes` from the first record; a place with no guess is no cut.
std::vector<uint64_t> guessed_cuts(CaptureFile& file, uint64_t split_bytes, uint64_t file_size) {
    std::vector<uint64_t> bounds;
    FileRecord first{};
    if (file.next(&first) != FileRead::Record) return bounds;
    bounds.push_back(static_cast<uint64_t>(file.record_offset()));
    const uint64_t window = std::min(kGuessWindow, split_bytes);
    for (uint64_t target = bounds.back() + split_bytes; target < file_size;) {
        const long long start = file.guess_record_start(target, window, file_size, first.header.ts.tv_sec);
        if (start < 0 || static_cast<uint64_t>(start) >= file_size) {
            target += split_bytes;
            continue;
        }
        bounds.push_back(static_cast<uint64_t>(start));
        target = bounds.back() + split_bytes;
    }
    return bounds;
}

}  // namespace

bool split_points(const char* path, uint64_t split_bytes, Cuts cuts, std::vector<std::pair<uint64_t, uint64_t>>* pieces,
                  CaptureError* error) {
    pieces->assign(1, {0, kWholeFile});
    CaptureFile file;
    FileOpen outcome = file.open_path(path);
    if (outcome == FileOpen::Failed) {
        *error = file.error();
        return false;
    }
    struct stat status {};
    if (outcome == FileOpen::Pending || file.may_block() || file.compression() != Compression::None ||
        ::stat(path, &status) != 0 || static_cast<uint64_t>(status.st_size) <= split_bytes) {
        return true;
    }
    const auto file_size = static_cast<uint64_t>(status.st_size);
    const bool guess = cuts == Cuts::Guessed && !file.is_pcapng();
    std::vector<uint64_t> bounds = guess ? guessed_cuts(file, split_bytes, file_size) : walked_cuts(file, split_bytes);
    if (bounds.size() < 2 || (file.is_pcapng() && file.header_blocks_after_records())) return true;
    bounds.push_back(file_size);
    pieces->clear();
    for (size_t index = 0; index + 1 < bounds.size(); ++index) pieces->emplace_back(bounds[index], bounds[index + 1]);
    return true;
}

}  // namespace varnel
