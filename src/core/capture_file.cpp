// Opening a capture file and reading classic pcap records. The texts are libpcap's, byte for
// byte, for the same file and the same failure (sf-pcap.c and savefile.c of libpcap 1.10).
#include "capture_file.hpp"

#include "link_types.hpp"
#include "pseudo_header.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace varnel {

namespace {

constexpr uint32_t kPcapMagic = 0xa1b2c3d4;
constexpr uint32_t kModifiedMagic = 0xa1b2cd34;  // records with 8 more bytes of header
constexpr uint32_t kNanosecondMagic = 0xa1b23c4d;
constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr size_t kFileHeaderSize = 24;
constexpr size_t kRecordHeaderSize = 16;
constexpr size_t kModifiedRecordHeaderSize = 24;
constexpr size_t kMagicSize = 4;
constexpr size_t kSniffSize = 6;  // the longest compression magic (xz)

uint32_t load_u32(const uint8_t* at) noexcept {
    uint32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

bool is_pcap_magic(uint32_t magic) noexcept {
    return magic == kPcapMagic || magic == kModifiedMagic || magic == kNanosecondMagic;
}

ErrorKind kind_of_open_errno(int error_number) noexcept {
    switch (error_number) {
        case ENOENT: return ErrorKind::NotFound;
        case EACCES:
        case EPERM: return ErrorKind::Permission;
        default: return ErrorKind::Unreadable;
    }
}

}  // namespace

void CaptureFile::set_text(const char* format, ...) {
    char text[kErrbufSize];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    error_.text = text;
}

FileOpen CaptureFile::open_path(const char* path) {
    close();
    final_position_ = -1;
    // "-" is standard input, as libpcap has it; a copy, so that closing the file leaves it open.
    const bool standard_input = path[0] == '-' && path[1] == '\0';
    // Non-blocking, so that a FIFO without a writer opens at once.
    int descriptor = standard_input ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                                    : ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        const int error_number = errno;
        error_.subject = path;
        set_text("%s: %s", path, std::strerror(error_number));
        return open_failed(kind_of_open_errno(error_number), error_number);
    }
    return open_descriptor(descriptor, path);
}

FileOpen CaptureFile::open_descriptor(int descriptor, std::string name) {
    close();
    final_position_ = -1;
    error_.subject = std::move(name);
    if (!input_.attach(descriptor)) {
        set_text("error reading dump file: %s", std::strerror(input_.failure_errno()));
        return open_failed(ErrorKind::Unreadable, input_.failure_errno());
    }
    stage_ = Stage::Compression;
    return advance_open();
}

FileOpen CaptureFile::resume_open() {
    switch (stage_) {
        case Stage::Records: return FileOpen::Opened;
        case Stage::Compression:
        case Stage::Magic:
        case Stage::FirstInterface: return advance_open();
        default: return FileOpen::Failed;
    }
}

// Each stage consumes only whole parts of the header, so a pipe that has only some of them
// leaves the stage to be taken up again by resume_open().
FileOpen CaptureFile::advance_open() {
    while (stage_ != Stage::Records) {
        FileOpen outcome = FileOpen::Failed;
        switch (stage_) {
            case Stage::Compression: outcome = open_stage_compression(); break;
            case Stage::Magic: outcome = open_stage_magic(); break;
            case Stage::FirstInterface: outcome = open_stage_first_interface(); break;
            default: return FileOpen::Failed;
        }
        if (outcome != FileOpen::Opened) return outcome;
    }
    return FileOpen::Opened;
}

FileOpen CaptureFile::open_failed(ErrorKind kind, int error_number) {
    error_.kind = kind;
    error_.error_number = error_number;
    stage_ = Stage::Failed;
    format_ = Format::None;
    input_.close();
    return FileOpen::Failed;
}

FileOpen CaptureFile::opened() {
    stage_ = Stage::Records;
    return FileOpen::Opened;
}

// The text of a failed read, as libpcap words it, or the decompressor's.
static void describe_read_failure(const ByteInput& input, std::string* text) {
    if (input.failure_errno() != 0) {
        *text = std::string("error reading dump file: ") + std::strerror(input.failure_errno());
    } else {
        *text = input.failure_text();
    }
}

FileOpen CaptureFile::open_stage_compression() {
    switch (input_.ensure(kSniffSize)) {
        case Fill::WouldBlock: return FileOpen::Pending;
        case Fill::Failed:
            describe_read_failure(input_, &error_.text);
            return open_failed(ErrorKind::Unreadable, input_.failure_errno());
        case Fill::Ready:
        case Fill::End: break;
    }
    compression_ = input_.sniff();
    if (compression_ != Compression::None && !input_.decompress(compression_)) {
        const char* format = compression_name(compression_);
        set_text("%s: %s-compressed dump file, and this build cannot decompress %s", error_.subject.c_str(), format,
                 format);
        return open_failed(ErrorKind::Unreadable);
    }
    stage_ = Stage::Magic;
    return FileOpen::Opened;
}

FileOpen CaptureFile::open_stage_magic() {
    switch (input_.ensure(kMagicSize)) {
        case Fill::WouldBlock: return FileOpen::Pending;
        case Fill::Failed:
            describe_read_failure(input_, &error_.text);
            return open_failed(ErrorKind::Unreadable, input_.failure_errno());
        case Fill::End:
            set_text("truncated dump file; tried to read %zu file header bytes, only got %zu", kMagicSize,
                     input_.available());
            return open_failed(ErrorKind::Unreadable);
        case Fill::Ready: break;
    }
    const uint32_t magic = load_u32(input_.cursor());
    if (is_pcap_magic(magic)) return open_pcap_header(magic);
    if (is_pcap_magic(__builtin_bswap32(magic))) return open_pcap_header(__builtin_bswap32(magic));
    if (magic == kSectionHeader) return open_pcapng_header();
    set_text("unknown file format");
    return open_failed(ErrorKind::UnknownFormat);
}

// `magic` in the file's byte order.
FileOpen CaptureFile::open_pcap_header(uint32_t magic) {
    switch (input_.ensure(kFileHeaderSize)) {
        case Fill::WouldBlock: return FileOpen::Pending;
        case Fill::Failed:
            describe_read_failure(input_, &error_.text);
            return open_failed(ErrorKind::Unreadable, input_.failure_errno());
        case Fill::End:
            set_text("truncated dump file; tried to read %zu file header bytes, only got %zu", kFileHeaderSize,
                     input_.available() - kMagicSize);
            return open_failed(ErrorKind::Unreadable);
        case Fill::Ready: break;
    }
    swapped_ = load_u32(input_.cursor()) != magic;
    const uint8_t* header = input_.cursor();
    const unsigned major = u16(header + 4);
    const unsigned minor = u16(header + 6);
    if (major < 2) {
        set_text("archaic pcap savefile format");
        return open_failed(ErrorKind::Unreadable);
    }
    if (!((major == 2 && minor <= 4) || (major == 543 && minor == 0))) {
        set_text("unsupported pcap savefile version %u.%u", major, minor);
        return open_failed(ErrorKind::Unreadable);
    }
    // The upper six bits of the link type carry other information.
    first_link_type_ = link_types::dlt_of(u32(header + 20) & 0x03FFFFFF);
    snaplen_ = link_types::adjusted_snaplen(first_link_type_, u32(header + 16));
    max_caplen_ = link_types::max_snaplen(first_link_type_);
    nanoseconds_ = magic == kNanosecondMagic;
    // Version 2.3 interchanged caplen and len; some 2.3 files were written the old way, and so
    // are the files of DG/UX (543.0).
    lengths_ = major == 543 || minor < 3 ? Lengths::Swapped : minor == 3 ? Lengths::MaybeSwapped : Lengths::InOrder;
    record_header_size_ = kRecordHeaderSize;
    if (magic == kModifiedMagic) {
        record_header_size_ = kModifiedRecordHeaderSize;
        // Such captures may have been cooked, with a made-up Ethernet header added to each frame.
        if (first_link_type_ == DLT_EN10MB) snaplen_ = snaplen_ <= INT_MAX - 14 ? snaplen_ + 14 : INT_MAX;
    }
    fix_pseudo_header_ = pseudo_header::needs_fixing(first_link_type_, swapped_);
    format_ = Format::Pcap;
    input_.consume(kFileHeaderSize);
    return opened();
}

FileRead CaptureFile::next(FileRecord* record) {
    if (stage_ != Stage::Records) return stage_ == Stage::Failed && format_ != Format::None ? FileRead::Damaged
                                                                                            : FileRead::End;
    return format_ == Format::Pcap ? next_pcap(record) : next_pcapng(record);
}

FileRead CaptureFile::damaged(int error_number) {
    error_.kind = ErrorKind::Damaged;
    error_.error_number = error_number;
    stage_ = Stage::Failed;
    return FileRead::Damaged;
}

// The input could not give `wanted` bytes of a record's `unit` ("header" and so on).
FileRead CaptureFile::input_trouble(Fill fill, size_t wanted, const char* unit) {
    switch (fill) {
        case Fill::WouldBlock: return FileRead::WouldBlock;
        case Fill::Failed: describe_read_failure(input_, &error_.text); return damaged(input_.failure_errno());
        default:
            set_text("truncated dump file; tried to read %zu %s bytes, only got %zu", wanted, unit, input_.available());
            return damaged();
    }
}

CaptureFile::RecordHeader CaptureFile::record_header(const uint8_t* at) const noexcept {
    // The time stamp's fields are signed 32-bit numbers, which libpcap widens with their sign,
    // but without it when it turns their byte order.
    RecordHeader header{static_cast<int32_t>(load_u32(at)), static_cast<int32_t>(load_u32(at + 4)),
                        load_u32(at + 8), load_u32(at + 12)};
    if (swapped_) {
        header = {__builtin_bswap32(load_u32(at)), __builtin_bswap32(load_u32(at + 4)),
                  __builtin_bswap32(header.caplen), __builtin_bswap32(header.len)};
    }
    if (lengths_ != Lengths::InOrder && (lengths_ == Lengths::Swapped || header.caplen > header.len)) {
        std::swap(header.caplen, header.len);
    }
    return header;
}

FileRead CaptureFile::next_pcap(FileRecord* record) {
    const size_t header_size = record_header_size_;
    if (input_.available() < header_size) {
        Fill fill = input_.ensure(header_size);
        if (fill != Fill::Ready) {
            if (fill == Fill::End && input_.available() == 0) return FileRead::End;
            return input_trouble(fill, header_size, "header");
        }
    }
    const auto [seconds, fraction, caplen, len] = record_header(input_.cursor());
    if (caplen > max_caplen_) return oversized_record(caplen);
    const size_t record_size = header_size + caplen;
    if (input_.available() < record_size) {
        Fill fill = input_.ensure(record_size);
        if (fill == Fill::End) return truncated_record(caplen);
        if (fill != Fill::Ready) return input_trouble(fill, 0, "");
    }
    pcap_pkthdr& header = record->header;
    header.ts.tv_sec = seconds;
    header.ts.tv_usec = nanoseconds_ ? fraction / 1000 : fraction;
    header.caplen = caplen > snaplen_ ? snaplen_ : caplen;  // the rest of a record past the snapshot length is dropped
    header.len = len;
    uint8_t* bytes = input_.writable_cursor() + header_size;
    record_offset_ = input_.position();
    input_.consume(record_size);
    if (fix_pseudo_header_) pseudo_header::fix(first_link_type_, swapped_, &header, bytes);
    record->bytes = bytes;
    record->link_type = first_link_type_;
    record->snaplen = snaplen_;
    return FileRead::Record;
}

FileRead CaptureFile::oversized_record(uint32_t caplen) {
    if (caplen > snaplen_) {
        set_text("invalid packet capture length %u, bigger than snaplen of %d", caplen, static_cast<int>(snaplen_));
    } else {
        set_text("invalid packet capture length %u, bigger than maximum of %u", caplen, max_caplen_);
    }
    return damaged();
}

// The file ends inside the record's bytes. libpcap reads a record longer than the snapshot length
// in two steps, and names the step that fell short.
FileRead CaptureFile::truncated_record(uint32_t caplen) {
    const size_t got = input_.available() - record_header_size_;
    if (caplen > snaplen_ && got < snaplen_) {
        set_text("truncated dump file; tried to read %d captured bytes, only got %zu", static_cast<int>(snaplen_), got);
    } else {
        set_text("truncated dump file; tried to read %u captured bytes, only got %zu", caplen, got);
    }
    return damaged();
}

FileOpen CaptureFile::open_range(const char* path, uint64_t start, uint64_t stop) {
    if (start == 0 && stop == kWholeFile) return open_path(path);
    FileOpen outcome = open_path(path);
    if (outcome == FileOpen::Failed) return outcome;
    if (outcome == FileOpen::Pending || !input_.is_regular() || compression_ != Compression::None) {
        set_text("%s: a byte range can be read only from an uncompressed regular file", path);
        return open_failed(ErrorKind::Unreadable);
    }
    if (format_ == Format::Pcapng && !skip_to_first_record()) return open_failed(ErrorKind::Unreadable);
    const uint64_t records_start = static_cast<uint64_t>(input_.position());
    if (start < records_start || stop < start || !input_.restrict_to(start, stop)) {
        set_text("%s: bytes %llu to %llu are not a piece of the file's records", path,
                 static_cast<unsigned long long>(start), static_cast<unsigned long long>(stop));
        return open_failed(ErrorKind::Unreadable, input_.failure_errno());
    }
    return FileOpen::Opened;
}

void CaptureFile::close() noexcept {
    if (input_.descriptor() >= 0) final_position_ = input_.position();
    input_.close();
    format_ = Format::None;
    stage_ = Stage::Closed;
    compression_ = Compression::None;
    swapped_ = false;
    first_link_type_ = -1;
    record_offset_ = -1;
    error_ = CaptureError{};
    record_header_size_ = kRecordHeaderSize;
    lengths_ = Lengths::InOrder;
    nanoseconds_ = fix_pseudo_header_ = false;
    snaplen_ = max_caplen_ = 0;
    interfaces_.clear();
    first_snaplen_ = max_block_size_ = 0;
    seen_records_ = header_after_records_ = false;
}

}  // namespace varnel
