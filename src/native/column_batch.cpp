#include "column_batch.hpp"

#include "address_text.hpp"
#include "feature_row.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <utility>

namespace varnel::columns {
namespace {

using schema::FieldId;

long long monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void add_fields(std::span<const schema::Field> fields, std::vector<ColumnLayout>& layouts) {
    std::transform(fields.begin(), fields.end(), std::back_inserter(layouts), layout_of);
}

// The connection columns; the services' dictionary is the read's, with room for names it adds.
void add_connection_fields(const connections::ServiceTable& services, std::vector<ColumnLayout>& layouts) {
    add_fields(schema::kConnectionFields, layouts);
    const std::vector<std::string_view> names(services.names().begin(), services.names().end());
    for (ColumnLayout& layout : layouts) {
        if (layout.field != FieldId::service) continue;
        layout.layout = Layout::Dictionary32;
        layout.dictionary = TextDictionary::of(names);
    }
}

// A MAC as a dictionary key: its six bytes, and a bit above them that tells an all-zero MAC from
// none at all.
uint64_t mac_key(const uint8_t* mac, bool present) {
    if (!present) return 0;
    uint32_t first = 0;
    uint16_t rest = 0;
    std::memcpy(&first, mac, 4);
    std::memcpy(&rest, mac + 4, 2);
    return first | uint64_t{rest} << 32 | uint64_t{1} << 48;
}

void put_mac_value(Column* column, size_t row, const uint8_t* mac, bool present) {
    column->put_value(row, mac_key(mac, present), kMacTextSize,
                      [&](char* text) { return present ? write_mac_text(mac, text) : size_t{0}; });
}

void put_address_value(Column* column, size_t row, int ip_version, const uint8_t* v4, const uint8_t* v6) {
    if (ip_version == 4) {
        uint32_t key = 0;
        std::memcpy(&key, v4, 4);
        column->put_value(row, key, kIpv4TextMaxSize, [&](char* text) { return write_ipv4_text(v4, text); });
    } else {
        Ipv6Key key{};
        std::memcpy(&key, v6, 16);
        column->put_value(row, key, kIpv6TextMaxSize, [&](char* text) { return write_ipv6_text(v6, text); });
    }
}

// The plain texts inline, the dictionary's look-ups out of line: the per-row path stays short.
inline void put_mac(Column* column, size_t row, const uint8_t* mac, bool present) {
    if (column->builds_dictionary()) [[unlikely]] {
        put_mac_value(column, row, mac, present);
        return;
    }
    // A link layer without such an address (raw IP, loopback, ...) gives an empty text.
    if (!present) {
        column->commit_text(row, 0);
        return;
    }
    column->commit_text(row, write_mac_text(mac, column->text_space(kMacTextSize)));
}

inline void put_address(Column* column, size_t row, int ip_version, const uint8_t* v4, const uint8_t* v6) {
    if (column->builds_dictionary()) [[unlikely]] {
        put_address_value(column, row, ip_version, v4, v6);
        return;
    }
    if (ip_version == 4) {
        column->commit_text(row, write_ipv4_text(v4, column->text_space(kIpv4TextMaxSize)));
    } else {
        column->commit_text(row, write_ipv6_text(v6, column->text_space(kIpv6TextMaxSize)));
    }
}

void put_address(Column* column, size_t row, const PacketRecord& rec, uint32_t v4, const uint8_t* v6) {
    put_address(column, row, rec.ip_version, reinterpret_cast<const uint8_t*>(&v4), v6);
}

void put_address(Column* column, size_t row, uint8_t ip_version, const connections::Address& address) {
    put_address(column, row, ip_version, address.data(), address.data());
}

// The text lies at the start of its buffer: copied whole, a cell is one copy of a fixed size.
void put_date_time(Column* column, size_t row, const char (&text)[kDateTimeTextMaxSize + 1], size_t size,
                   long local_second) {
    if (!column->builds_dictionary()) {
        std::memcpy(column->text_space(sizeof text), text, sizeof text);
        column->commit_text(row, size);
        return;
    }
    column->put_value(row, static_cast<uint64_t>(local_second), size,
                      [&](char* out) { return std::string_view(text, size).copy(out, size); });
}

// Texts that repeat from row to row, and so are written once a batch with `dictionary`.
void encode_repeated_texts(std::vector<ColumnLayout>& layouts) {
    for (ColumnLayout& layout : layouts) {
        switch (layout.field) {
            case FieldId::date_time:
            case FieldId::src_mac:
            case FieldId::dst_mac:
            case FieldId::src_ip:
            case FieldId::dst_ip: layout.layout = Layout::Dictionary16; break;
            default: break;
        }
    }
}

}  // namespace

std::vector<ColumnLayout> column_layouts(const ColumnOptions& options) {
    std::vector<ColumnLayout> layouts;
    if (options.file_names) layouts.push_back(file_layout(options.file_names));
    if (options.rows == RowKind::Packets) {
        add_fields(schema::kPacketFields, layouts);
        if (options.dictionary) encode_repeated_texts(layouts);
    } else if (options.rows == RowKind::Connections) {
        add_connection_fields(*options.services, layouts);
    } else {
        add_fields(schema::kFeatureFields, layouts);
        if (options.flow_key) add_fields(schema::kFlowKeyFields, layouts);
        if (options.range_summary) add_fields(schema::kRangeSummaryFields, layouts);
    }
    if (options.timestamp_column) layouts.push_back(layout_of(schema::kCaptureTimeField));
    return layouts;
}

std::string warning_text(const CaptureError& warning) {
    // A date that cannot be written is ours to say; damage and link types are the reading's.
    const char* prefix = warning.kind == ErrorKind::BadTimestamp ? "" : "Could not read file: ";
    return warning.subject + ": " + prefix + warning.text;
}

namespace {

// The text, naming its subject first unless libpcap's text already does.
std::string named(const CaptureError& error) {
    if (error.reason().size() != error.text.size()) return error.text;
    return error.subject + ": " + error.text;
}

}  // namespace

std::string error_text(const CaptureError& error, bool live) {
    switch (error.kind) {
        case ErrorKind::DeviceFailure: return "Could not read from device: " + error.text;
        case ErrorKind::OtherProcess: return error.text;
        case ErrorKind::FilterUnfit: return error.subject + ": " + error.text;
        default: return (live ? "Could not open device: " : "Could not open file: ") + named(error);
    }
}

namespace {

ReaderSettings reader_settings(ReaderSettings settings, const ColumnOptions& options) {
    // Connection records read the headers past the network start themselves.
    if (options.rows == RowKind::Connections) settings.decode = FrameDecode::NetworkStart;
    return settings;
}

}  // namespace

ColumnReader::ColumnReader(std::vector<CaptureInput> inputs, ReaderSettings settings, const ColumnOptions& options,
                           std::shared_ptr<ReadReport> report)
    : reader_(std::move(inputs), reader_settings(std::move(settings), options)), options_(options),
      report_(std::move(report)), builder_(column_layouts(options)) {
    if (options_.range_summary) hosts_.keep_runs();
    if (options_.rows == RowKind::Connections) {
        feed_ = std::make_unique<connections::ConnectionFeed>(options_.connection, *options_.services,
                                                              options_.continuous);
    }
}

ReadEvent ColumnReader::next_event() {
    if (options_.end_requested && !ending_ && options_.end_requested->load(std::memory_order_relaxed)) {
        ending_ = true;
        reader_.stop();
    }
    return feed_ ? next_connection_event() : reader_.next(rec_);
}

// For connection records, Frame means a record ready in record_. The end of an input or of the
// read comes after the records it ends, so that they belong to the batches of its input.
ReadEvent ColumnReader::next_connection_event() {
    for (;;) {
        if ((record_ = feed_->next()) != nullptr) return ReadEvent::Frame;
        if (held_event_ != ReadEvent::Frame) return std::exchange(held_event_, ReadEvent::Frame);
        const ReadEvent event = reader_.next(rec_);
        switch (event) {
            case ReadEvent::Frame:
                feed_->take(reader_.packet(), static_cast<uint32_t>(reader_.current_index()));
                break;
            case ReadEvent::InputEnd: feed_->input_ended(); held_event_ = event; break;
            case ReadEvent::End:
            case ReadEvent::Failed:
                // A read that fails part-way still ends the connections it saw.
                feed_->read_ended();
                held_event_ = event;
                break;
            case ReadEvent::Idle:
                if (reader_.is_live()) feed_->idle(connections::wall_clock_us());
                if (!feed_->busy()) return event;
                break;
            default: return event;
        }
    }
}

ReadEvent ColumnReader::open_first() {
    for (;;) {
        ReadEvent event = reader_.open_next();
        switch (event) {
            case ReadEvent::Warning:
                note_problem(reader_.warning(), false);
                return ReadEvent::Frame;
            case ReadEvent::End: return ReadEvent::Frame;  // nothing to read: an empty stream
            case ReadEvent::Failed:
                report_->update([this](ReadStats& stats) { stats.error = reader_.error(); });
                return event;
            case ReadEvent::Skipped: note_problem(reader_.error(), true); break;
            default: return event;
        }
    }
}

bool ColumnReader::next_batch(ArrowArray* out) {
    out->release = nullptr;
    if (pending_error_) {
        pending_error_ = false;
        finished_ = true;
        report_->update([this](ReadStats& stats) { stats.error = reader_.error(); });
        return false;
    }
    if (finished_) return true;
    if (reader_.is_live()) return next_live_batch(out);
    builder_.start(options_.batch_size);
    size_t rows = 0;
    bool stop = false;
    while (rows < options_.batch_size && !stop && !builder_.dictionary_full()) {
        const ReadEvent event = next_event();
        if (event == ReadEvent::WaitingForData || event == ReadEvent::Idle) {
            // A FIFO without a writer, a quiet pipe: an empty batch after a while, so that whoever
            // consumes gets control back (Ctrl+C, a stop) however long the writer takes.
            reader_.wait(kWaitSliceMs);
            stop = rows == 0;
            continue;
        }
        if (fill_row(event, rows, &stop)) ++rows;
    }
    // The rows read before an error still make a batch; the error follows it.
    if (pending_error_ && rows == 0) return next_batch(out);
    if (rows > 0 || !finished_) builder_.export_batch(rows, out);
    publish(rows);
    return true;
}

// Acts on one event of the reader; true when it filled row `row`. `stop` is set when the batch
// can take no more rows: the read ended or failed.
bool ColumnReader::fill_row(ReadEvent event, size_t row, bool* stop) {
    switch (event) {
        case ReadEvent::Frame:
            switch (options_.rows) {
                case RowKind::Features: append_features(row); return true;
                case RowKind::Connections: append_connection(row); return true;
                case RowKind::Packets: return append_packet(row);
            }
            return false;
        case ReadEvent::InputEnd:
            // Counts start afresh with each input; a range's runs are kept for its summary.
            if (!options_.continuous && !options_.range_summary) hosts_.clear();
            // A batch holds the rows of one input, and ends with it (even empty, when another input
            // follows): whoever consumes can stop after an input (a count reached, damage met, a
            // signal) before the next one opens.
            *stop = row > 0 || reader_.is_live() || reader_.inputs_left();
            return false;
        case ReadEvent::End:
            finished_ = true;
            *stop = true;
            return false;
        case ReadEvent::Warning:
            note_problem(reader_.warning(), false);
            return false;
        case ReadEvent::Failed:
            fail(reader_.error());
            *stop = true;
            return false;
        case ReadEvent::Skipped: note_problem(reader_.error(), true); return false;
        case ReadEvent::WaitingForData: reader_.wait(kWaitSliceMs); return false;  // live only
        case ReadEvent::NeedsDescriptor:
            // Tables are given paths only (an open file as its /dev/fd path).
            fail({ErrorKind::Unreadable, "", "an open file cannot be read here"});
            *stop = true;
            return false;
        case ReadEvent::Checkpoint:
        case ReadEvent::Idle:
        case ReadEvent::Interrupted: return false;
    }
    return false;
}

void ColumnReader::note_problem(const CaptureError& problem, bool skipped) {
    report_->update([&](ReadStats& stats) { stats.problems.push_back({problem, skipped}); });
}

void ColumnReader::fail(const CaptureError& failure) {
    error_ = error_text(failure, reader_.is_live());
    pending_error_ = true;
}

// A batch ends when full, at the time-out (even empty: the consumer gets control back), or when
// the device fails or the stream reaches its limit.
bool ColumnReader::next_live_batch(ArrowArray* out) {
    builder_.start(options_.batch_size);
    const long long deadline = monotonic_ms() + options_.batch_timeout_ms;
    size_t rows = 0;
    bool stop = false;
    while (!stop && rows < options_.batch_size && !builder_.dictionary_full() &&
           (options_.limit == 0 || live_rows_ + rows < options_.limit)) {
        ReadEvent event = next_event();
        if (event == ReadEvent::Idle || event == ReadEvent::Checkpoint) {
            const long long remaining = deadline - monotonic_ms();
            stop = remaining <= 0;
            if (!stop && event == ReadEvent::Idle) {
                reader_.wait(static_cast<int>(std::min<long long>(remaining, kWaitSliceMs)));
            }
            continue;
        }
        if (fill_row(event, rows, &stop)) ++rows;
    }
    live_rows_ += rows;
    if (options_.limit != 0 && live_rows_ >= options_.limit) {
        finished_ = true;
        reader_.stop();  // a last reading of the device's counters, then it closes
    }
    if (!reader_.is_open() && !pending_error_) finished_ = true;
    if (pending_error_ && rows == 0) return next_batch(out);
    builder_.export_batch(rows, out);
    publish(rows);
    return true;
}

std::string_view ColumnReader::date_time_text(long seconds) {
    if (date_size_ == 0 || seconds != date_second_) {
        date_size_ = write_local_date_time(seconds, date_text_, &date_local_second_);
        date_second_ = seconds;
    }
    return {date_text_, date_size_};
}

bool ColumnReader::append_packet(size_t row) {
    const PacketRecord& rec = rec_;
    // The one step that can fail comes first, before any cell of the row is written.
    std::string_view date_time = date_time_text(rec.tv_sec);
    if (date_time.empty()) {
        char reason[160];
        std::snprintf(reason, sizeof reason, "frame time stamp %ld s has no local date and time: %s", rec.tv_sec,
                      std::strerror(errno != 0 ? errno : EINVAL));
        // What follows in the file is not read: the stream goes on as after damage.
        reader_.end_input(ErrorKind::BadTimestamp, reason);
        return false;
    }
    BatchBuilder& b = builder_;
    put_file(row, reader_.current_index());
    b.column(FieldId::success)->put_bit(row);
    b.column(FieldId::timestamp)->put<double>(row, rec.timestamp);
    put_date_time(b.column(FieldId::date_time), row, date_text_, date_time.size(), date_local_second_);
    b.column(FieldId::frame_length)->put<uint32_t>(row, rec.frame_length);
    put_mac(b.column(FieldId::src_mac), row, rec.src_mac, rec.has_src_mac != 0);
    put_mac(b.column(FieldId::dst_mac), row, rec.dst_mac, rec.has_dst_mac != 0);
    b.column(FieldId::ip_proto)->put<uint8_t>(row, rec.ip_proto);
    b.column(FieldId::ip_id)->put<uint32_t>(row, static_cast<uint32_t>(rec.ip_id));
    b.column(FieldId::wrong_fragment)->put<uint8_t>(row, static_cast<uint8_t>(rec.wrong_fragment));
    b.column(FieldId::land)->put<uint8_t>(row, static_cast<uint8_t>(rec.land));
    b.column(FieldId::src_port)->put<uint16_t>(row, rec.src_port);
    b.column(FieldId::dst_port)->put<uint16_t>(row, rec.dst_port);
    b.column(FieldId::version)->put<uint8_t>(row, schema::version_index(rec.ip_version));
    put_address(b.column(FieldId::src_ip), row, rec, rec.src_ip_v4, rec.src_ip_v6);
    put_address(b.column(FieldId::dst_ip), row, rec, rec.dst_ip_v4, rec.dst_ip_v6);
    const uint8_t protocol = schema::packet_protocol(rec.ip_proto);
    b.column(FieldId::protocol_type)->put<uint8_t>(row, protocol);
    Column* tcp_flag = b.column(FieldId::tcp_flag);
    Column* tcp_seq = b.column(FieldId::tcp_seq);
    Column* tcp_ack = b.column(FieldId::tcp_ack);
    Column* urgent = b.column(FieldId::urgent);
    if (protocol == schema::kTcpIndex) {
        tcp_flag->put<uint8_t>(row, rec.tcp_flags);
        tcp_seq->put<uint32_t>(row, rec.tcp_seq);
        tcp_ack->put<uint32_t>(row, rec.tcp_ack);
        urgent->put<uint8_t>(row, static_cast<uint8_t>(rec.urgent));
    } else {
        tcp_flag->put_null<uint8_t>(row);
        tcp_seq->put_null<uint32_t>(row);
        tcp_ack->put_null<uint32_t>(row);
        urgent->put_null<uint8_t>(row);
    }
    Column* udp_length = b.column(FieldId::udp_length);
    if (protocol == schema::kUdpIndex) {
        udp_length->put<uint16_t>(row, rec.udp_length);
    } else {
        udp_length->put_null<uint16_t>(row);
    }
    Column* icmp_type = b.column(FieldId::icmp_type);
    Column* icmp_code = b.column(FieldId::icmp_code);
    if (protocol == schema::kIcmpIndex) {
        icmp_type->put<uint8_t>(row, rec.icmp_type);
        icmp_code->put<uint8_t>(row, rec.icmp_code);
    } else {
        icmp_type->put_null<uint8_t>(row);
        icmp_code->put_null<uint8_t>(row);
    }
    put_capture_time(row);
    return true;
}

void ColumnReader::append_features(size_t row) {
    const PacketRecord& rec = rec_;
    // Counting may throw std::bad_alloc; it comes before any cell of the row is written.
    const AdvancedFeatures feat = features_of(rec, hosts_.count_packet(rec));
    BatchBuilder& b = builder_;
    put_file(row, reader_.current_index());
    b.column(FieldId::timestamp)->put<double>(row, feat.timestamp);
    b.column(FieldId::src_port)->put<uint16_t>(row, feat.src_port);
    b.column(FieldId::dst_port)->put<uint16_t>(row, feat.dst_port);
    b.column(FieldId::protocol_type)->put<uint8_t>(row, schema::feature_protocol(feat.protocol_type));
    b.column(FieldId::src_bytes)->put<uint32_t>(row, static_cast<uint32_t>(feat.src_bytes));
    b.column(FieldId::land)->put<uint8_t>(row, feat.land);
    b.column(FieldId::wrong_fragment)->put<uint8_t>(row, static_cast<uint8_t>(feat.wrong_fragment));
    b.column(FieldId::count)->put<uint32_t>(row, feat.count);
    if (options_.flow_key) {
        put_address(b.column(FieldId::src_ip), row, rec, rec.src_ip_v4, rec.src_ip_v6);
        put_address(b.column(FieldId::dst_ip), row, rec, rec.dst_ip_v4, rec.dst_ip_v6);
        b.column(FieldId::ip_proto)->put<uint8_t>(row, rec.ip_proto);
    }
    if (options_.range_summary) {
        b.column(FieldId::leading_code)->put<uint32_t>(row, hosts_.leading_code());
    }
    put_capture_time(row);
}

void ColumnReader::append_connection(size_t row) {
    const connections::ConnectionRecord& r = *record_;
    BatchBuilder& b = builder_;
    put_file(row, r.input);
    b.column(FieldId::duration)->put<uint32_t>(row, r.duration);
    b.column(FieldId::protocol_type)->put<int8_t>(row, static_cast<int8_t>(r.protocol_type));
    b.column(FieldId::service)->put<int32_t>(row, r.service);
    b.column(FieldId::flag)->put<int8_t>(row, static_cast<int8_t>(r.flag));
    b.column(FieldId::src_bytes)->put<uint64_t>(row, r.src_bytes);
    b.column(FieldId::dst_bytes)->put<uint64_t>(row, r.dst_bytes);
    const std::pair<FieldId, uint32_t> counts[] = {
        {FieldId::land, r.land},
        {FieldId::wrong_fragment, r.wrong_fragment},
        {FieldId::urgent, r.urgent},
        {FieldId::count, r.count},
        {FieldId::srv_count, r.srv_count},
        {FieldId::dst_host_count, r.dst_host_count},
        {FieldId::dst_host_srv_count, r.dst_host_srv_count},
        {FieldId::src_packets, r.src_packets},
        {FieldId::dst_packets, r.dst_packets},
    };
    for (const auto& [field, value] : counts) b.column(field)->put<uint32_t>(row, value);
    const std::pair<FieldId, double> rates[] = {
        {FieldId::serror_rate, r.serror_rate},
        {FieldId::srv_serror_rate, r.srv_serror_rate},
        {FieldId::rerror_rate, r.rerror_rate},
        {FieldId::srv_rerror_rate, r.srv_rerror_rate},
        {FieldId::same_srv_rate, r.same_srv_rate},
        {FieldId::diff_srv_rate, r.diff_srv_rate},
        {FieldId::srv_diff_host_rate, r.srv_diff_host_rate},
        {FieldId::dst_host_same_srv_rate, r.dst_host_same_srv_rate},
        {FieldId::dst_host_diff_srv_rate, r.dst_host_diff_srv_rate},
        {FieldId::dst_host_same_src_port_rate, r.dst_host_same_src_port_rate},
        {FieldId::dst_host_srv_diff_host_rate, r.dst_host_srv_diff_host_rate},
        {FieldId::dst_host_serror_rate, r.dst_host_serror_rate},
        {FieldId::dst_host_srv_serror_rate, r.dst_host_srv_serror_rate},
        {FieldId::dst_host_rerror_rate, r.dst_host_rerror_rate},
        {FieldId::dst_host_srv_rerror_rate, r.dst_host_srv_rerror_rate},
        {FieldId::start_time, connections::seconds_of(r.start_us)},
        {FieldId::end_time, connections::seconds_of(r.end_us)},
    };
    for (const auto& [field, value] : rates) b.column(field)->put<double>(row, value);
    put_address(b.column(FieldId::src_ip), row, r.ip_version, r.src_ip);
    b.column(FieldId::src_port)->put<uint16_t>(row, r.src_port);
    put_address(b.column(FieldId::dst_ip), row, r.ip_version, r.dst_ip);
    b.column(FieldId::dst_port)->put<uint16_t>(row, r.dst_port);
    b.column(FieldId::ip_proto)->put<uint8_t>(row, r.ip_proto);
}

void ColumnReader::put_file(size_t row, size_t input) {
    if (!options_.file_names) return;
    builder_.column(FieldId::file)->put<int32_t>(row, static_cast<int32_t>(options_.first_file + input));
}

void ColumnReader::put_capture_time(size_t row) {
    if (!options_.timestamp_column) return;
    // The record keeps the time as a double; its microseconds come back exactly by rounding.
    const auto micros = std::llround((rec_.timestamp - static_cast<double>(rec_.tv_sec)) * 1e6);
    builder_.column(FieldId::capture_time)->put<int64_t>(row, static_cast<int64_t>(rec_.tv_sec) * 1000000 + micros);
}

void ColumnReader::publish(uint64_t rows) {
    const ReaderStats reader = reader_.stats(false);
    const bool finished = finished_ && !pending_error_;
    std::shared_ptr<const RangeSummary> runs;
    if (finished && options_.range_summary) {
        runs = std::make_shared<RangeSummary>(
            RangeSummary{hosts_.runs(), hosts_.lowest_time(), hosts_.newest_time(), hosts_.late_inside()});
    }
    const connections::ConnectionStats connection_counts = feed_ ? feed_->stats() : connections::ConnectionStats{};
    report_->update([&](ReadStats& stats) {
        stats.reader = reader;
        stats.connections = connection_counts;
        stats.rows += rows;
        if (rows > 0) ++stats.batches;
        stats.finished = finished;
        if (runs) stats.runs = std::move(runs);
    });
}

}  // namespace varnel::columns
