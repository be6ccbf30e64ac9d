// Columns instead of dictionaries: the frame loop's records written straight into Arrow buffers,
// one record batch of at most `batch_size` rows at a time, over one or several capture files read
// in order. Nothing here touches the interpreter: a consumer may call it from any thread, with or
// without the interpreter lock.
#pragma once

#include "arrow_c.hpp"
#include "frame_loop.hpp"
#include "host_table.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::columns {

enum class RowKind : uint8_t { Packets, Features };

// Offsets of text columns are 32-bit: at most 63 bytes a cell, a batch must stay under 2^31 bytes.
inline constexpr size_t kMaxBatchSize = size_t{1} << 24;
inline constexpr size_t kDefaultBatchSize = 65536;

struct ColumnOptions {
    RowKind rows = RowKind::Packets;
    size_t batch_size = kDefaultBatchSize;
    bool timestamp_column = false;  // packets: a timestamp[us, UTC] column after the dictionary's fields
    bool flow_key = false;          // feature rows: src_ip, dst_ip and ip_proto after the eight
    bool continuous = false;        // feature rows: one host table across the files, as one capture
    packet_decoding::LinkOptions link{};
    std::string filter;  // a libpcap filter expression for every file or the device; empty for none
};

// How cells of a column are laid out in Arrow.
enum class Layout : uint8_t { Bool, Float64, UInt8, UInt16, UInt32, Timestamp, Text, Dictionary };

// The values of a dictionary-encoded column as an Arrow utf8 array, in static storage: every
// batch shares them, and a consumer may keep a batch's dictionary after the batch is gone.
struct TextDictionary {
    int64_t size;
    const void* const* buffers;  // validity (none), offsets, text
};

struct ColumnLayout {
    std::string_view name;
    Layout layout;
    bool nullable;
    const TextDictionary* dictionary;  // Layout::Dictionary only
};

// The columns of `options`' rows, in output order: the field table's, then any extra column.
std::vector<ColumnLayout> column_layouts(const ColumnOptions& options);

// Fills `out` with the struct schema of `layouts`; throws std::bad_alloc with `out` untouched.
void export_schema(std::span<const ColumnLayout> layouts, ArrowSchema* out);

// What a read met so far; every file's frames added up.
struct ReadStats {
    FrameCounts frames;
    uint64_t rows = 0;
    uint64_t batches = 0;
    uint64_t files_read = 0;  // files opened and read to their end or their damage
    std::vector<std::string> warnings;  // damage, each naming its file: the rows before it were kept
    std::string error;                   // what ended the stream with an error, if anything did
    bool finished = false;               // the stream reached its end
    bool kernel_counted = false;         // a device: libpcap's counters below are set
    uint64_t received = 0, dropped = 0, if_dropped = 0;
};

// Shared by a stream, which updates it from whatever thread its consumer reads on, and the object
// that exported the stream, which reports it.
class ReadReport {
public:
    ReadStats snapshot() const {
        std::lock_guard lock(mutex_);
        return stats_;
    }
    template <class Update>
    void update(Update&& change) {
        std::lock_guard lock(mutex_);
        change(stats_);
    }

private:
    mutable std::mutex mutex_;
    ReadStats stats_;
};

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

// One column of the batch being filled.
struct Column {
    ColumnLayout layout;
    Buffer validity;  // nullable columns: one bit a row, set unless the cell is null
    Buffer values;    // fixed-width values, a bitmap for Bool, int32 offsets for Text, int8 indices
    Buffer text;      // Text: the bytes the offsets point into
    size_t text_size = 0;
    int64_t null_count = 0;

    // Room for `size` more text bytes; throws std::bad_alloc.
    char* text_space(size_t size) {
        if (text_size + size > text.capacity()) text.grow(text_size + size);
        return reinterpret_cast<char*>(text.bytes()) + text_size;
    }
    // Ends the cell of `row` after `size` bytes written into text_space.
    void commit_text(size_t row, size_t size) noexcept {
        text_size += size;
        values.as<int32_t>()[row + 1] = static_cast<int32_t>(text_size);
    }
    void set_null(size_t row) noexcept {
        validity.bytes()[row / 8] &= static_cast<uint8_t>(~(1u << (row % 8)));
        ++null_count;
    }
};

// The columns of one batch at a time: fresh buffers for each, handed over whole on export.
class BatchBuilder {
public:
    explicit BatchBuilder(std::vector<ColumnLayout> layouts);

    // Fresh buffers for up to `capacity` rows; throws std::bad_alloc.
    void start(size_t capacity);
    // The column named `name`, or null.
    Column* find(std::string_view name) noexcept;
    // Hands the first `rows` rows over as a struct array; throws std::bad_alloc with `out` untouched.
    void export_batch(size_t rows, ArrowArray* out);
    const std::vector<ColumnLayout>& layouts() const noexcept { return layouts_; }

private:
    std::vector<ColumnLayout> layouts_;
    std::vector<Column> columns_;
    size_t capacity_ = 0;
};

// A live device to read instead of files. A batch ends when it is full, or once `batch_timeout_ms`
// have passed since it started, even empty, so that a consumer iterating in Python gets control
// back regularly; the stream ends after `limit` rows (0: never).
struct LiveSource {
    std::string device;
    int batch_timeout_ms = 1000;
    uint64_t limit = 0;
    LiveOptions options{};
};

// The batches of one read over files in order, or of a live device. Each file is read to its end
// or its damage; a damaged file keeps its rows and adds a warning, and the next file follows.
// Feature counts start afresh with each file.
class ColumnReader {
public:
    ColumnReader(std::vector<std::string> paths, const ColumnOptions& options, std::shared_ptr<ReadReport> report);
    ColumnReader(LiveSource live, const ColumnOptions& options, std::shared_ptr<ReadReport> report);
    // The column slots point into the builder: a reader stays where it was made.
    ColumnReader(const ColumnReader&) = delete;
    ColumnReader& operator=(const ColumnReader&) = delete;
    ~ColumnReader() = default;

    // Opens the first file (or the device) now, so that the caller can raise at once when it
    // cannot be opened. False with the reason in open_failure().
    bool open_first();
    // The next batch into `out`, or `out` released-empty (release null) at the end. False with the
    // reason in error() when a later file cannot be opened. Throws std::bad_alloc.
    bool next_batch(ArrowArray* out);
    void export_schema(ArrowSchema* out) const { columns::export_schema(builder_.layouts(), out); }
    const std::string& error() const noexcept { return error_; }
    // The reason alone (libpcap's, mostly), and the errno, of the last failure to open.
    const char* open_failure() const noexcept { return open_reason_.c_str(); }
    int open_failure_errno() noexcept { return loop_.source().failure_errno(); }
    bool is_live() const noexcept { return live_ != nullptr; }

private:
    bool open_file(size_t index);
    bool open_device();
    bool next_live_batch(ArrowArray* out);
    void end_file(const char* damage);
    bool next_row(size_t row);
    bool append_packet(size_t row);
    void append_features(size_t row);
    std::string_view date_time_text(long seconds);
    void bind_columns();
    void publish(uint64_t rows);
    void keep_kernel_counts();

    std::vector<std::string> paths_;
    std::unique_ptr<LiveSource> live_;
    uint64_t live_rows_ = 0;
    std::string current_name_;  // of the file or device being read, for warnings
    std::string open_reason_;
    ColumnOptions options_;
    std::shared_ptr<ReadReport> report_;
    BatchBuilder builder_;
    FrameLoop loop_;
    HostTracker hosts_;
    PacketRecord rec_{};
    size_t next_file_ = 0;
    bool file_open_ = false;
    bool finished_ = false;
    bool pending_error_ = false;  // a file failed to open after rows of this batch were read
    std::string error_;

    // The last second's local date and time: the text changes once a second at most.
    long date_second_ = 0;
    size_t date_size_ = 0;
    char date_text_[64] = {};

    // Columns by role, resolved from the builder once.
    struct Slots {
        Column *success, *timestamp, *date_time, *frame_length, *src_mac, *dst_mac, *ip_proto, *ip_id,
            *wrong_fragment, *land, *src_port, *dst_port, *version, *src_ip, *dst_ip, *protocol_type, *tcp_flag,
            *tcp_seq, *tcp_ack, *urgent, *udp_length, *icmp_type, *icmp_code, *capture_time, *src_bytes, *count;
    };
    Slots slots_{};
};

}  // namespace varnel::columns
