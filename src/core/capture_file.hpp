// Our own reader of capture files: classic pcap and pcapng, plain or compressed with gzip, zstd
// or xz, from regular files, pipes, FIFOs and descriptors. It hands out what libpcap's
// pcap_next_ex hands a caller of pcap_open_offline for the same file, byte for byte, with the same
// point of damage and the same texts; beyond libpcap it reads compressed files and pcapng files
// whose interfaces differ in link type or snapshot length (each record carries its interface's).
// libpcap stays for live devices and for compiling filters (file_filter.hpp).
//
//     CaptureFile file;
//     FileOpen opened = file.open_path(path);
//     while (opened == FileOpen::Pending) {            // a pipe or FIFO with no header yet
//         file.wait_readable(250);                     // short slices: signals are seen between them
//         opened = file.resume_open();
//     }
//     FileRecord record;
//     for (FileRead status; (status = file.next(&record)) != FileRead::End;) {
//         if (status == FileRead::WouldBlock) file.wait_readable(250);
//         else if (status == FileRead::Damaged) break;  // file.error(): libpcap's text
//         else use(record);                            // record.link_type: its interface's
//     }
#pragma once

#include "byte_input.hpp"
#include "capture_error.hpp"

#include <pcap/pcap.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace varnel {

struct FileRecord {
    pcap_pkthdr header;    // ts as libpcap gives it to a caller of pcap_open_offline (microseconds,
                           // nanosecond files truncated), caplen, len
    const uint8_t* bytes;  // header.caplen bytes, valid until the next call
    int link_type;         // DLT_ of the record's interface (pcapng: per interface)
    uint32_t snaplen;      // of that interface, for compiling filters
};

enum class FileRead : uint8_t { Record, End, Damaged, WouldBlock };
enum class FileOpen : uint8_t { Opened, Failed, Pending };  // Pending: a pipe with no header bytes yet

// The piece split_points gives for a file read whole.
inline constexpr uint64_t kWholeFile = UINT64_MAX;

// How split_points finds the cuts: by reading every record, as next() does, or (classic pcap) by
// looking near each cut for where a run of sound record headers starts. A guessed cut is only a
// guess: a piece that starts at a true boundary and reads its range without damage proves the next
// cut true, and a reader of guessed pieces must check that each one before the file's last did.
enum class Cuts : uint8_t { Walked, Guessed };

class CaptureFile {
public:
    CaptureFile() = default;
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;
    ~CaptureFile() = default;

    // open(2) + header, regular files and FIFOs alike ("-" is standard input, as for libpcap).
    FileOpen open_path(const char* path);
    // Takes `descriptor` over (also on failure); `name` is the subject of every error.
    FileOpen open_descriptor(int descriptor, std::string name);
    // After Pending, once wait_readable() said so.
    FileOpen resume_open();
    // A piece from split_points: the file's header, then the records in [start, stop). The piece
    // {0, kWholeFile} is the whole file, read as open_path reads it.
    FileOpen open_range(const char* path, uint64_t start, uint64_t stop);

    // Damaged: error() says why; the records before were good.
    FileRead next(FileRecord* record);

    // Pipes: waits at most `timeout_ms` for bytes to read; true when there may be some.
    bool wait_readable(int timeout_ms) { return input_.wait_readable(timeout_ms); }
    // Reading a pipe, FIFO or socket: next() and opening may return WouldBlock / Pending.
    bool may_block() const noexcept { return input_.descriptor() >= 0 && !input_.is_regular(); }
    bool is_open() const noexcept { return format_ != Format::None && stage_ == Stage::Records; }
    // The first interface's DLT_ (classic pcap: the file's), and its snapshot length as libpcap
    // adjusts it.
    int link_type() const noexcept { return first_link_type_; }
    uint32_t snaplen() const noexcept { return format_ == Format::Pcapng ? first_snaplen_ : snaplen_; }
    // Bytes of the file consumed through the last record handed out (compressed bytes for
    // compressed input); -1 before a file opened, the last value after it closed.
    long long position() const noexcept { return input_.descriptor() >= 0 ? input_.position() : final_position_; }
    // Where the last record handed out (pcapng: its block) starts in the file.
    long long record_offset() const noexcept { return record_offset_; }
    Compression compression() const noexcept { return compression_; }
    bool is_pcapng() const noexcept { return format_ == Format::Pcapng; }
    // pcapng: a section or interface block came after the first packet block.
    bool header_blocks_after_records() const noexcept { return header_after_records_; }
    const CaptureError& error() const noexcept { return error_; }
    void close() noexcept;

    // Classic pcap, opened: where a record starts near `target` (from a header's length before it
    // to `window` after, never `window` before), as the first place where records with sound headers
    // follow one another (kGuessRun of them, or up to the file's end) shows it; -1 where none does.
    // Sound: lengths in order, not zero and within the link type's limits, a fraction of a second
    // below one, and a time stamp within a year of `first_seconds` (the file's first record's).
    long long guess_record_start(uint64_t target, uint64_t window, uint64_t file_size, long first_seconds) const;

private:
    enum class Format : uint8_t { None, Pcap, Pcapng };
    enum class Stage : uint8_t { Closed, Compression, Magic, FirstInterface, Records, Failed };
    enum class Lengths : uint8_t { InOrder, Swapped, MaybeSwapped };  // caplen and len, before 2.3
    enum class Scale : uint8_t { Same, UpDecimal, DownDecimal, Binary };
    enum class Block : uint8_t { Ready, End, WouldBlock, Damaged };

    struct Interface {
        int link_type = 0;
        uint32_t snaplen = 0;  // adjusted as libpcap does
        uint64_t resolution = 1000000;
        uint64_t offset = 0;
        uint64_t factor = 1;
        Scale scale = Scale::Same;
        bool fix_pseudo_header = false;
    };

    struct BlockView {
        uint32_t type;
        uint32_t total_length;
        uint8_t* body;  // after the type and length, before the trailer
        size_t body_length;
        bool swapped;  // the byte order of this block (a section header may change it)
    };

    FileOpen start(std::string name);
    FileOpen advance_open();
    FileOpen open_stage_compression();
    FileOpen open_stage_magic();
    FileOpen open_pcap_header(uint32_t magic);
    FileOpen open_pcapng_header();
    FileOpen open_stage_first_interface();
    FileOpen open_failed(ErrorKind kind, int error_number = 0);
    FileOpen opened();
    bool skip_to_first_record();

    // A classic pcap record header as it stands, its lengths in order.
    struct RecordHeader {
        long seconds;
        long fraction;
        uint32_t caplen;
        uint32_t len;
    };
    RecordHeader record_header(const uint8_t* at) const noexcept;
    // For guess_record_start (capture_split.cpp).
    bool sound_header(const RecordHeader& header, long first_seconds) const noexcept;
    bool sound_run_at(uint64_t offset, const uint8_t* window, uint64_t window_start, size_t window_size,
                      uint64_t file_size, long first_seconds) const;
    FileRead next_pcap(FileRecord* record);
    FileRead oversized_record(uint32_t caplen);
    FileRead truncated_record(uint32_t caplen);
    FileRead next_pcapng(FileRecord* record);
    FileRead damaged(int error_number = 0);
    FileRead input_trouble(Fill fill, size_t wanted, const char* unit);

    // pcapng blocks and their parts; false (Block::Damaged) with error_.text set.
    Block read_block(BlockView* block);
    Block read_block_trouble(Fill fill);
    bool add_interface(const BlockView& block, bool in_records);
    bool read_interface_options(const BlockView& block, Interface* interface);
    bool start_section(const BlockView& block);
    bool absorb(const BlockView& block);
    struct PacketFields {
        uint32_t interface_id;
        uint64_t stamp;
        uint32_t caplen;
        uint32_t len;
        size_t fixed_size;  // before the packet's bytes
    };
    bool packet_fields(const BlockView& block, PacketFields* fields) const;
    FileRead packet_from(const BlockView& block, FileRecord* record);
    void set_time(const Interface& interface, uint64_t stamp, pcap_pkthdr* header) const;
    bool too_short(uint32_t block_type);
    // Fields in the file's (or a block's) byte order; memcpy, as the bytes are not aligned.
    static uint32_t u32(const uint8_t* at, bool swapped) noexcept {
        uint32_t value = 0;
        std::memcpy(&value, at, sizeof value);
        return swapped ? __builtin_bswap32(value) : value;
    }
    uint32_t u32(const uint8_t* at) const noexcept { return u32(at, swapped_); }
    uint16_t u16(const uint8_t* at) const noexcept {
        uint16_t value = 0;
        std::memcpy(&value, at, sizeof value);
        return swapped_ ? __builtin_bswap16(value) : value;
    }
    uint64_t u64(const uint8_t* at) const noexcept {
        uint64_t value = 0;
        std::memcpy(&value, at, sizeof value);
        return swapped_ ? __builtin_bswap64(value) : value;
    }

    void set_text(const char* format, ...) __attribute__((format(printf, 2, 3)));

    ByteInput input_;
    Format format_ = Format::None;
    Stage stage_ = Stage::Closed;
    Compression compression_ = Compression::None;
    bool swapped_ = false;
    int first_link_type_ = -1;
    long long record_offset_ = -1;
    long long final_position_ = -1;
    CaptureError error_;

    // Classic pcap.
    size_t record_header_size_ = 16;
    Lengths lengths_ = Lengths::InOrder;
    bool nanoseconds_ = false;
    bool fix_pseudo_header_ = false;
    uint32_t snaplen_ = 0;
    uint32_t max_caplen_ = 0;

    // pcapng.
    std::vector<Interface> interfaces_;
    uint32_t first_snaplen_ = 0;
    uint32_t max_block_size_ = 0;
    bool seen_records_ = false;
    bool header_after_records_ = false;
};

// Record (pcapng: block) boundaries cutting `path` into pieces of about `split_bytes`, walked by
// the same reading next() does, or guessed (classic pcap; pcapng is walked either way). A file that
// cannot be split safely (compressed, a pipe, a pcapng file with a section or interface after its
// first packet, one no larger than `split_bytes`) is one piece {0, kWholeFile}; damage ends a walk,
// and the rest of the file is the last piece.
bool split_points(const char* path, uint64_t split_bytes, Cuts cuts, std::vector<std::pair<uint64_t, uint64_t>>* pieces,
                  CaptureError* error);

}  // namespace varnel
