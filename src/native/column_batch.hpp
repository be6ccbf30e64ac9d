// Columns instead of dictionaries: the capture reader's records written straight into Arrow
// buffers, one record batch of at most `batch_size` rows at a time, over one or several inputs
// read in order, or a live device. Nothing here touches the interpreter: a consumer may call it
// from any thread, with or without the interpreter lock.
#pragma once

#include "address_text.hpp"
#include "capture_reader.hpp"
#include "column_buffers.hpp"
#include "connection_feed.hpp"
#include "host_table.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::columns {

// How long any wait of the column readers lasts before it looks again: at a live batch's time-out, a
// FIFO's writer, the next input's batches, and Ctrl+C between them.
inline constexpr int kWaitSliceMs = 250;

enum class RowKind : uint8_t { Packets, Features, Connections };

// Offsets of text columns are 32-bit: at most 63 bytes a cell, a batch must stay under 2^31 bytes.
inline constexpr size_t kMaxBatchSize = size_t{1} << 24;
inline constexpr size_t kDefaultBatchSize = 65536;

struct ColumnOptions {
    RowKind rows = RowKind::Packets;
    size_t batch_size = kDefaultBatchSize;
    bool timestamp_column = false;  // a timestamp[us, UTC] column after the row's fields
    bool flow_key = false;          // feature rows: src_ip, dst_ip and ip_proto after the eight
    bool continuous = false;        // feature rows: one host table across the inputs, as one capture
    bool range_summary = false;     // feature rows: each destination's runs, to carry counts across ranges
    // Packet rows: date_time, the MACs and the addresses dictionary-encoded, a dictionary per batch.
    bool dictionary = false;
    // The file column, first, when set: the names of every input of the read, and where this
    // reader's inputs start among them (a read on threads has a reader per input).
    std::shared_ptr<const TextDictionary> file_names;
    uint32_t first_file = 0;
    // A live device: a batch ends when full or once this long has passed since it started, even
    // empty, so that a consumer iterating in Python gets control back regularly; the stream ends
    // after `limit` rows (0: never).
    int batch_timeout_ms = 1000;
    uint64_t limit = 0;
    // Connection records: the table's options and the read's services (one table for every input
    // with `continuous`).
    connections::ConnectionOptions connection{};
    std::shared_ptr<const connections::ServiceTable> services;
    // Set by another thread to end the read early as if every input had ended: connection records
    // then end every open connection, so that a stopped read still gives each connection seen.
    std::shared_ptr<const std::atomic<bool>> end_requested;
};

// The columns of `options`' rows, in output order.
std::vector<ColumnLayout> column_layouts(const ColumnOptions& options);

// What a finished read of a byte range says of each destination, for carrying counts across ranges.
struct RangeSummary {
    HostTracker::DestinationRuns destinations;  // per family by node: a row's code is node * 2 + family
    double lowest_time = 0, newest_time = 0;
    bool late_inside = false;
};

// What a read met so far; every input's frames added up.
struct ReadStats {
    ReaderStats reader;
    uint64_t rows = 0;
    uint64_t batches = 0;
    // Damage (the rows before it were kept) and, with keep_going, files that could not be opened
    // (`skipped`), in the order met.
    struct Problem {
        CaptureError error;
        bool skipped;
    };
    std::vector<Problem> problems;
    connections::ConnectionStats connections;  // connection records: the table's counts
    CaptureError error;                  // what ended the stream with an error, if anything did
    bool finished = false;               // the stream reached its end
    std::shared_ptr<const RangeSummary> runs;  // with range_summary, once the stream finished
};

// The texts a table reader's warnings and errors are reported in: each names its file or device.
std::string warning_text(const CaptureError& warning);
std::string error_text(const CaptureError& error, bool live);

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

// The batches of one read. Each input is read to its end or its damage; a damaged file keeps its
// rows and adds a warning, and the next input follows. Feature counts start afresh with each input
// unless the inputs are one capture (`continuous`).
class ColumnReader {
public:
    ColumnReader(std::vector<CaptureInput> inputs, ReaderSettings settings, const ColumnOptions& options,
                 std::shared_ptr<ReadReport> report);
    // The column slots point into the builder: a reader stays where it was made.
    ColumnReader(const ColumnReader&) = delete;
    ColumnReader& operator=(const ColumnReader&) = delete;
    ~ColumnReader() = default;

    // Opens the first input now, so that the caller can raise at once when it cannot be opened.
    // Frame once open; Failed with the reason in failure(); Interrupted when an open was cut short by
    // a signal, WaitingForData for a FIFO without a writer yet (wait, look at signals, call again).
    ReadEvent open_first();
    // The next batch into `out`, or `out` released-empty (release null) at the end. False with the
    // reason in error() when the stream cannot go on. Throws std::bad_alloc.
    bool next_batch(ArrowArray* out);
    void export_schema(ArrowSchema* out) const { columns::export_schema(builder_.layouts(), out); }
    const std::string& error() const noexcept { return error_; }
    // The bytes of buffers the last batch holds.
    size_t last_batch_bytes() const noexcept { return builder_.exported_bytes(); }
    const CaptureError& failure() const noexcept { return reader_.error(); }
    bool is_live() const noexcept { return reader_.is_live(); }
    // An input being opened: waits at most `timeout_ms` for its first bytes.
    void wait_for_data(int timeout_ms) { reader_.wait(timeout_ms); }

private:
    ReadEvent next_event();
    ReadEvent next_connection_event();
    bool next_live_batch(ArrowArray* out);
    bool fill_row(ReadEvent event, size_t row, bool* stop);
    void append_connection(size_t row);
    bool append_packet(size_t row);
    void append_features(size_t row);
    void put_capture_time(size_t row);
    void put_file(size_t row, size_t input);
    std::string_view date_time_text(long seconds);
    void fail(const CaptureError& failure);
    void note_problem(const CaptureError& problem, bool skipped);
    void publish(uint64_t rows);

    CaptureReader reader_;
    ColumnOptions options_;
    std::shared_ptr<ReadReport> report_;
    BatchBuilder builder_;
    HostTracker hosts_;
    PacketRecord rec_{};
    std::unique_ptr<connections::ConnectionFeed> feed_;  // connection records only
    const connections::ConnectionRecord* record_ = nullptr;  // the record a Frame event stands for
    // An end the feed's records go before: InputEnd, End or Failed, held while they are handed out.
    ReadEvent held_event_ = ReadEvent::Frame;
    bool ending_ = false;  // end_requested was seen: the reader was stopped
    uint64_t live_rows_ = 0;
    bool finished_ = false;
    bool pending_error_ = false;  // the stream failed after rows of this batch were read
    std::string error_;

    // The last second's local date and time: the text changes once a second at most. Its wall-clock
    // seconds key it in a dictionary.
    long date_second_ = 0;
    long date_local_second_ = 0;
    size_t date_size_ = 0;
    char date_text_[kDateTimeTextMaxSize + 1] = {};
};

}  // namespace varnel::columns
