#include "column_batch.hpp"

#include "address_text.hpp"
#include "feature_row.hpp"
#include "schema.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <new>
#include <utility>

namespace varnel::columns {
namespace {

// A dictionary's values laid out once, at compile time, as a utf8 array's offsets and text.
template <size_t N>
struct DictionaryStorage {
    std::array<int32_t, N + 1> offsets{};
    std::array<char, 32> text{};

    constexpr explicit DictionaryStorage(const std::array<std::string_view, N>& values) {
        int32_t at = 0;
        for (size_t i = 0; i < N; ++i) {
            offsets[i] = at;
            for (char c : values[i]) text[static_cast<size_t>(at++)] = c;
        }
        offsets[N] = at;
    }
};

// Index order is the order of these lists; the fill writes the indices.
constexpr std::array<std::string_view, 4> kPacketProtocolNames = {"TCP", "UDP", "ICMP", "Others"};
constexpr std::array<std::string_view, 3> kFeatureProtocolNames = {"TCP", "UDP", "ICMP"};
constexpr std::array<std::string_view, 2> kVersionNames = {"IPv4", "IPv6"};
enum PacketProtocol : int8_t { kTcp, kUdp, kIcmp, kOthers };

constexpr DictionaryStorage<4> kPacketProtocolStorage(kPacketProtocolNames);
constexpr DictionaryStorage<3> kFeatureProtocolStorage(kFeatureProtocolNames);
constexpr DictionaryStorage<2> kVersionStorage(kVersionNames);

constexpr const void* kPacketProtocolBuffers[] = {nullptr, kPacketProtocolStorage.offsets.data(),
                                                  kPacketProtocolStorage.text.data()};
constexpr const void* kFeatureProtocolBuffers[] = {nullptr, kFeatureProtocolStorage.offsets.data(),
                                                   kFeatureProtocolStorage.text.data()};
constexpr const void* kVersionBuffers[] = {nullptr, kVersionStorage.offsets.data(), kVersionStorage.text.data()};

constexpr TextDictionary kPacketProtocols{4, kPacketProtocolBuffers};
constexpr TextDictionary kFeatureProtocols{3, kFeatureProtocolBuffers};
constexpr TextDictionary kVersions{2, kVersionBuffers};

constexpr size_t kMaxInitialText = size_t{16} << 20;

// A live wait is cut into slices this short, so that a batch ends close to its time-out.
constexpr long long kLiveWaitSliceMs = 250;

// The extra column of packets: the capture time as Arrow's own time stamp type.
constexpr std::string_view kCaptureTimeName = "capture_time";

Layout layout_of(schema::Type type) {
    switch (type) {
        case schema::Type::Bool: return Layout::Bool;
        case schema::Type::Float64: return Layout::Float64;
        case schema::Type::Text: return Layout::Text;
        case schema::Type::UInt8: return Layout::UInt8;
        case schema::Type::UInt16: return Layout::UInt16;
        case schema::Type::UInt32: return Layout::UInt32;
    }
    return Layout::Text;
}

void add_fields(std::span<const schema::Field> fields, const TextDictionary* protocols, std::vector<ColumnLayout>& layouts) {
    for (const schema::Field& field : fields) {
        ColumnLayout layout{field.name, layout_of(field.type), field.nullable(), nullptr};
        // Few-valued texts travel as small indices into one dictionary shared by every batch.
        if (field.name == "protocol_type") layout = {field.name, Layout::Dictionary, layout.nullable, protocols};
        if (field.name == "version") layout = {field.name, Layout::Dictionary, layout.nullable, &kVersions};
        layouts.push_back(layout);
    }
}

const char* format_of(Layout layout) {
    switch (layout) {
        case Layout::Bool: return "b";
        case Layout::Float64: return "g";
        case Layout::UInt8: return "C";
        case Layout::UInt16: return "S";
        case Layout::UInt32: return "I";
        case Layout::Timestamp: return "tsu:UTC";
        case Layout::Text: return "u";
        case Layout::Dictionary: return "c";  // int8 indices
    }
    return "n";
}

// Bytes of the values buffer for `rows` rows.
size_t values_size(Layout layout, size_t rows) {
    switch (layout) {
        case Layout::Bool: return (rows + 7) / 8;
        case Layout::UInt8:
        case Layout::Dictionary: return rows;
        case Layout::UInt16: return rows * 2;
        case Layout::UInt32: return rows * 4;
        case Layout::Text: return (rows + 1) * 4;  // offsets
        case Layout::Float64:
        case Layout::Timestamp: return rows * 8;
    }
    return rows * 8;
}

// ---- Schemas. Each node owns what it allocated; a node a consumer moved out (its release set
// to null in our copy) is left alone.

void release_static_schema(ArrowSchema* schema) { schema->release = nullptr; }

struct FieldSchemaData {
    std::string name;
    ArrowSchema dictionary{};
};

void release_field_schema(ArrowSchema* schema) {
    auto* data = static_cast<FieldSchemaData*>(schema->private_data);
    if (schema->dictionary != nullptr && schema->dictionary->release != nullptr) {
        schema->dictionary->release(schema->dictionary);
    }
    delete data;
    schema->release = nullptr;
}

struct StructSchemaData {
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> pointers;
};

void release_struct_schema(ArrowSchema* schema) {
    auto* data = static_cast<StructSchemaData*>(schema->private_data);
    for (ArrowSchema& child : data->children) {
        if (child.release != nullptr) child.release(&child);
    }
    delete data;
    schema->release = nullptr;
}

// ---- Arrays.

struct ColumnArrayData {
    Buffer validity, values, text;
    std::array<const void*, 3> buffers{};
    ArrowArray dictionary{};
};

void release_static_array(ArrowArray* array) { array->release = nullptr; }

void release_column_array(ArrowArray* array) {
    auto* data = static_cast<ColumnArrayData*>(array->private_data);
    if (array->dictionary != nullptr && array->dictionary->release != nullptr) {
        array->dictionary->release(array->dictionary);
    }
    delete data;
    array->release = nullptr;
}

struct BatchArrayData {
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> pointers;
    std::array<const void*, 1> buffers{};  // a struct array without nulls has no validity bitmap
};

void release_batch_array(ArrowArray* array) {
    auto* data = static_cast<BatchArrayData*>(array->private_data);
    for (ArrowArray& child : data->children) {
        if (child.release != nullptr) child.release(&child);
    }
    delete data;
    array->release = nullptr;
}

int8_t packet_protocol(uint8_t ip_proto) {
    switch (ip_proto) {
        case packet_decoding::kProtoTCP: return kTcp;
        case packet_decoding::kProtoUDP: return kUdp;
        case packet_decoding::kProtoICMP:
        case packet_decoding::kProtoICMPv6: return kIcmp;
        default: return kOthers;
    }
}

// Feature rows name every protocol but TCP and UDP "ICMP", ICMPv6 and 0 included.
int8_t feature_protocol(uint8_t ip_proto) {
    switch (ip_proto) {
        case packet_decoding::kProtoTCP: return kTcp;
        case packet_decoding::kProtoUDP: return kUdp;
        default: return kIcmp;
    }
}

template <class T>
void put(Column* column, size_t row, T value) {
    column->values.as<T>()[row] = value;
}

void put_bit(Column* column, size_t row) { column->values.bytes()[row / 8] |= static_cast<uint8_t>(1u << (row % 8)); }

template <class T>
void put_null(Column* column, size_t row) {
    column->values.as<T>()[row] = 0;
    column->set_null(row);
}

void put_text(Column* column, size_t row, std::string_view text) {
    std::memcpy(column->text_space(text.size()), text.data(), text.size());
    column->commit_text(row, text.size());
}

void put_mac(Column* column, size_t row, const uint8_t* mac, bool present) {
    // A link layer without such an address (raw IP, loopback, ...) gives an empty text.
    if (!present) {
        column->commit_text(row, 0);
        return;
    }
    column->commit_text(row, write_mac_text(mac, column->text_space(kMacTextSize)));
}

void put_address(Column* column, size_t row, const PacketRecord& rec, uint32_t v4, const uint8_t* v6) {
    if (rec.ip_version == 4) {
        column->commit_text(row, write_ipv4_text(reinterpret_cast<const uint8_t*>(&v4),
                                                 column->text_space(kIpv4TextMaxSize)));
    } else {
        column->commit_text(row, write_ipv6_text(v6, column->text_space(kIpv6TextMaxSize)));
    }
}


}  // namespace

std::vector<ColumnLayout> column_layouts(const ColumnOptions& options) {
    std::vector<ColumnLayout> layouts;
    if (options.rows == RowKind::Packets) {
        add_fields(schema::kPacketFields, &kPacketProtocols, layouts);
        if (options.timestamp_column) layouts.push_back({kCaptureTimeName, Layout::Timestamp, false, nullptr});
    } else {
        add_fields(schema::kFeatureFields, &kFeatureProtocols, layouts);
        if (options.flow_key) add_fields(schema::kFlowKeyFields, &kFeatureProtocols, layouts);
    }
    return layouts;
}

void export_schema(std::span<const ColumnLayout> layouts, ArrowSchema* out) {
    auto data = std::make_unique<StructSchemaData>();
    std::vector<std::unique_ptr<FieldSchemaData>> fields;
    data->children.resize(layouts.size());
    for (const ColumnLayout& layout : layouts) fields.push_back(std::make_unique<FieldSchemaData>());
    for (size_t i = 0; i < layouts.size(); ++i) {
        const ColumnLayout& layout = layouts[i];
        FieldSchemaData& field = *fields[i];
        field.name.assign(layout.name);
        ArrowSchema* dictionary = nullptr;
        if (layout.layout == Layout::Dictionary) {
            field.dictionary = ArrowSchema{"u", "", nullptr, 0, 0, nullptr, nullptr, release_static_schema, nullptr};
            dictionary = &field.dictionary;
        }
        data->children[i] = ArrowSchema{format_of(layout.layout), field.name.c_str(), nullptr,
                                        layout.nullable ? ARROW_FLAG_NULLABLE : 0, 0, nullptr, dictionary,
                                        release_field_schema, nullptr};
    }
    data->pointers.reserve(layouts.size());
    for (size_t i = 0; i < layouts.size(); ++i) {
        data->children[i].private_data = fields[i].release();
        data->pointers.push_back(&data->children[i]);
    }
    *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<int64_t>(layouts.size()), data->pointers.data(), nullptr,
                       release_struct_schema, nullptr};
    out->private_data = data.release();
}

// ---- Buffer

Buffer::Buffer(Buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
    if (this != &other) {
        reset();
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

Buffer::~Buffer() { reset(); }

void Buffer::allocate(size_t bytes) {
    reset();
    // Never a null buffer, even for an empty batch: consumers may read its address.
    void* data = std::malloc(bytes > 0 ? bytes : 1);
    if (data == nullptr) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(data);
    capacity_ = bytes;
}

void Buffer::grow(size_t bytes) {
    size_t grown = std::max(bytes, capacity_ * 2);
    void* data = std::realloc(data_, grown);
    if (data == nullptr) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(data);
    capacity_ = grown;
}

void Buffer::shrink(size_t bytes) noexcept {
    if (bytes >= capacity_ || data_ == nullptr) return;
    void* data = std::realloc(data_, bytes > 0 ? bytes : 1);
    if (data == nullptr) return;  // the larger block serves as well
    data_ = static_cast<uint8_t*>(data);
    capacity_ = bytes;
}

void Buffer::reset() noexcept {
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
}

// ---- BatchBuilder

BatchBuilder::BatchBuilder(std::vector<ColumnLayout> layouts) : layouts_(std::move(layouts)) {
    columns_.reserve(layouts_.size());
    std::transform(layouts_.begin(), layouts_.end(), std::back_inserter(columns_),
                   [](const ColumnLayout& layout) { return Column{layout, {}, {}, {}, 0, 0}; });
}

void BatchBuilder::start(size_t capacity) {
    capacity_ = capacity;
    for (Column& filled : columns_) {
        const Layout layout = filled.layout.layout;
        filled.values.allocate(values_size(layout, capacity));
        if (layout == Layout::Bool) std::memset(filled.values.bytes(), 0, filled.values.capacity());
        if (layout == Layout::Text) {
            filled.values.as<int32_t>()[0] = 0;
            // Most texts (addresses, MACs, dates) are 7 to 19 bytes; longer ones grow the buffer, and
            // a huge batch size does not reserve its whole worst case up front.
            filled.text.allocate(std::min(capacity * 16, kMaxInitialText));
        }
        if (filled.layout.nullable) {
            filled.validity.allocate((capacity + 7) / 8);
            std::memset(filled.validity.bytes(), 0xFF, filled.validity.capacity());
        }
        filled.text_size = 0;
        filled.null_count = 0;
    }
}

Column* BatchBuilder::find(std::string_view name) noexcept {
    auto found = std::find_if(columns_.begin(), columns_.end(),
                              [name](const Column& candidate) { return candidate.layout.name == name; });
    return found != columns_.end() ? &*found : nullptr;
}

void BatchBuilder::export_batch(size_t rows, ArrowArray* out) {
    auto data = std::make_unique<BatchArrayData>();
    std::vector<std::unique_ptr<ColumnArrayData>> arrays;
    for (size_t i = 0; i < columns_.size(); ++i) arrays.push_back(std::make_unique<ColumnArrayData>());
    data->children.resize(columns_.size());
    data->pointers.reserve(columns_.size());
    // Nothing below throws: the buffers move over and the batch is handed out whole.
    for (size_t i = 0; i < columns_.size(); ++i) {
        Column& source = columns_[i];
        ColumnArrayData& array = *arrays[i];
        const Layout layout = source.layout.layout;
        if (rows < capacity_) source.values.shrink(values_size(layout, rows));
        if (layout == Layout::Text) source.text.shrink(source.text_size);
        array.values = std::move(source.values);
        array.text = std::move(source.text);
        array.validity = std::move(source.validity);
        array.buffers = {source.layout.nullable ? array.validity.bytes() : nullptr, array.values.bytes(),
                         array.text.bytes()};
        ArrowArray* dictionary = nullptr;
        if (layout == Layout::Dictionary) {
            const TextDictionary& values = *source.layout.dictionary;
            array.dictionary = ArrowArray{values.size, 0, 0, 3, 0, const_cast<const void**>(values.buffers), nullptr,
                                          nullptr, release_static_array, nullptr};
            dictionary = &array.dictionary;
        }
        data->children[i] = ArrowArray{static_cast<int64_t>(rows), source.null_count, 0,
                                       layout == Layout::Text ? 3 : 2, 0, array.buffers.data(), nullptr, dictionary,
                                       release_column_array, nullptr};
        data->children[i].private_data = arrays[i].release();
        data->pointers.push_back(&data->children[i]);
    }
    *out = ArrowArray{static_cast<int64_t>(rows), 0, 0, 1, static_cast<int64_t>(columns_.size()),
                      data->buffers.data(), data->pointers.data(), nullptr, release_batch_array, nullptr};
    out->private_data = data.release();
}

// ---- ColumnReader

ColumnReader::ColumnReader(std::vector<std::string> paths, const ColumnOptions& options,
                           std::shared_ptr<ReadReport> report)
    : paths_(std::move(paths)), options_(options), report_(std::move(report)), builder_(column_layouts(options)) {
    bind_columns();
}

ColumnReader::ColumnReader(LiveSource live, const ColumnOptions& options, std::shared_ptr<ReadReport> report)
    : live_(std::make_unique<LiveSource>(std::move(live))), options_(options), report_(std::move(report)),
      builder_(column_layouts(options)) {
    bind_columns();
}

void ColumnReader::bind_columns() {
    auto at = [this](std::string_view name) { return builder_.find(name); };
    slots_ = Slots{at("success"),       at("timestamp"),  at("date_time"),     at("frame_length"),
                   at("src_mac"),       at("dst_mac"),    at("ip_proto"),      at("ip_id"),
                   at("wrong_fragment"), at("land"),      at("src_port"),      at("dst_port"),
                   at("version"),       at("src_ip"),     at("dst_ip"),        at("protocol_type"),
                   at("tcp_flag"),      at("tcp_seq"),    at("tcp_ack"),       at("urgent"),
                   at("udp_length"),    at("icmp_type"),  at("icmp_code"),     at(kCaptureTimeName),
                   at("src_bytes"),     at("count")};
}

bool ColumnReader::open_first() {
    if (live_) return open_device();
    return paths_.empty() || open_file(0);
}

bool ColumnReader::open_device() {
    Source& source = loop_.source();
    if (!source.open_live(live_->device.c_str(), live_->options)) {
        open_reason_ = source.error();
        return false;
    }
    if (!options_.filter.empty() && !source.set_filter(options_.filter.c_str())) {
        open_reason_ = source.error();
        source.close();
        return false;
    }
    if (!loop_.bind(options_.link)) {
        open_reason_ = source.unsupported_link_text();
        source.close();
        return false;
    }
    current_name_ = live_->device;
    file_open_ = true;
    hosts_.clear();
    return true;
}

bool ColumnReader::open_file(size_t index) {
    next_file_ = index + 1;
    Source& source = loop_.source();
    if (!source.open_file(paths_[index].c_str())) {
        open_reason_ = source.error();
        error_ = std::string("Could not open file: ") + source.error();
        return false;
    }
    // A filter that does not fit the file's link type fails the file as an open would.
    if (!options_.filter.empty() && !source.set_filter(options_.filter.c_str())) {
        open_reason_ = source.error();
        error_ = paths_[index] + ": " + source.error();
        source.close();
        return false;
    }
    current_name_ = paths_[index];
    file_open_ = true;
    if (!options_.continuous) hosts_.clear();  // counts start afresh with each file
    if (!loop_.bind(options_.link)) {
        // Its frames are still read and counted; none is decoded.
        std::string warning = paths_[index] + ": Could not read file: " + source.unsupported_link_text();
        report_->update([&warning](ReadStats& stats) { stats.warnings.push_back(std::move(warning)); });
    }
    return true;
}

void ColumnReader::end_file(const char* damage) {
    if (damage != nullptr) {
        std::string warning = current_name_ + ": " + damage;
        report_->update([&warning](ReadStats& stats) { stats.warnings.push_back(std::move(warning)); });
    }
    keep_kernel_counts();  // a device's counters as read just before it closes
    loop_.source().close();
    file_open_ = false;
    if (!options_.continuous) hosts_.clear();
    report_->update([](ReadStats& stats) { ++stats.files_read; });
}

bool ColumnReader::next_batch(ArrowArray* out) {
    out->release = nullptr;
    if (pending_error_) {
        pending_error_ = false;
        finished_ = true;
        report_->update([this](ReadStats& stats) { stats.error = error_; });
        return false;
    }
    if (finished_) return true;
    if (live_) return next_live_batch(out);
    builder_.start(options_.batch_size);
    size_t rows = 0;
    while (rows < options_.batch_size) {
        if (!file_open_) {
            if (next_file_ == paths_.size()) {
                finished_ = true;
                break;
            }
            if (!open_file(next_file_)) {
                // The rows read before still make a batch; the error follows it.
                pending_error_ = true;
                break;
            }
        }
        if (next_row(rows)) ++rows;
    }
    if (pending_error_ && rows == 0) return next_batch(out);
    if (rows > 0) builder_.export_batch(rows, out);
    publish(rows);
    return true;
}

namespace {

long long monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

bool ColumnReader::next_live_batch(ArrowArray* out) {
    builder_.start(options_.batch_size);
    const long long deadline = monotonic_ms() + live_->batch_timeout_ms;
    size_t rows = 0;
    bool open = true;
    while (open && rows < options_.batch_size && (live_->limit == 0 || live_rows_ + rows < live_->limit)) {
        bool row = false;
        switch (loop_.next(rec_)) {
            case Outcome::Frame:
                row = options_.rows == RowKind::Features ? (append_features(rows), true) : append_packet(rows);
                if (row) ++rows;
                open = file_open_;  // a date that cannot be written ended the capture like damage
                break;
            case Outcome::Idle: {
                const long long remaining = deadline - monotonic_ms();
                if (remaining <= 0) {
                    open = false;
                    break;
                }
                loop_.source().wait(static_cast<int>(std::min<long long>(remaining, kLiveWaitSliceMs)));
                break;
            }
            case Outcome::Checkpoint:
                if (monotonic_ms() >= deadline) open = false;
                break;
            case Outcome::Damaged:
            case Outcome::Failed:
                error_ = std::string("Could not read from device: ") + loop_.source().error();
                pending_error_ = true;
                open = false;
                break;
            case Outcome::End:
                end_file(nullptr);
                open = false;
                break;
        }
    }
    live_rows_ += rows;
    if (!file_open_ || (live_->limit != 0 && live_rows_ >= live_->limit)) {
        finished_ = true;
        if (file_open_) end_file(nullptr);
    }
    if (pending_error_ && rows == 0) return next_batch(out);
    // An empty batch too: the consumer gets control back once a batch time-out.
    builder_.export_batch(rows, out);
    publish(rows);
    return true;
}

bool ColumnReader::next_row(size_t row) {
    switch (loop_.next(rec_)) {
        case Outcome::Frame:
            if (options_.rows == RowKind::Features) {
                append_features(row);
                return true;
            }
            return append_packet(row);
        case Outcome::End: end_file(nullptr); return false;
        case Outcome::Damaged:
        case Outcome::Failed: {
            std::string damage = std::string("Could not read file: ") + loop_.source().error();
            end_file(damage.c_str());
            return false;
        }
        case Outcome::Checkpoint:
        case Outcome::Idle: return false;
    }
    return false;
}

std::string_view ColumnReader::date_time_text(long seconds) {
    if (date_size_ == 0 || seconds != date_second_) {
        date_size_ = write_local_date_time(seconds, date_text_);
        date_second_ = seconds;
    }
    return {date_text_, date_size_};
}

bool ColumnReader::append_packet(size_t row) {
    const PacketRecord& rec = rec_;
    // The one step that can fail comes first, before any cell of the row is written.
    std::string_view date_time = date_time_text(rec.tv_sec);
    if (date_time.empty()) {
        char damage[160];
        std::snprintf(damage, sizeof damage, "frame time stamp %ld s has no local date and time: %s", rec.tv_sec,
                      std::strerror(errno != 0 ? errno : EINVAL));
        end_file(damage);
        // What follows in the file is not read: the stream goes on as after damage.
        return false;
    }
    const Slots& s = slots_;
    put_bit(s.success, row);
    put<double>(s.timestamp, row, rec.timestamp);
    put_text(s.date_time, row, date_time);
    put<uint32_t>(s.frame_length, row, rec.frame_length);
    put_mac(s.src_mac, row, rec.src_mac, rec.has_src_mac != 0);
    put_mac(s.dst_mac, row, rec.dst_mac, rec.has_dst_mac != 0);
    put<uint8_t>(s.ip_proto, row, rec.ip_proto);
    put<uint32_t>(s.ip_id, row, static_cast<uint32_t>(rec.ip_id));
    put<uint8_t>(s.wrong_fragment, row, static_cast<uint8_t>(rec.wrong_fragment));
    put<uint8_t>(s.land, row, static_cast<uint8_t>(rec.land));
    put<uint16_t>(s.src_port, row, rec.src_port);
    put<uint16_t>(s.dst_port, row, rec.dst_port);
    put<int8_t>(s.version, row, rec.ip_version == 4 ? 0 : 1);
    put_address(s.src_ip, row, rec, rec.src_ip_v4, rec.src_ip_v6);
    put_address(s.dst_ip, row, rec, rec.dst_ip_v4, rec.dst_ip_v6);
    const int8_t protocol = packet_protocol(rec.ip_proto);
    put<int8_t>(s.protocol_type, row, protocol);
    if (protocol == kTcp) {
        put<uint8_t>(s.tcp_flag, row, rec.tcp_flags);
        put<uint32_t>(s.tcp_seq, row, rec.tcp_seq);
        put<uint32_t>(s.tcp_ack, row, rec.tcp_ack);
        put<uint8_t>(s.urgent, row, static_cast<uint8_t>(rec.urgent));
    } else {
        put_null<uint8_t>(s.tcp_flag, row);
        put_null<uint32_t>(s.tcp_seq, row);
        put_null<uint32_t>(s.tcp_ack, row);
        put_null<uint8_t>(s.urgent, row);
    }
    if (protocol == kUdp) {
        put<uint16_t>(s.udp_length, row, rec.udp_length);
    } else {
        put_null<uint16_t>(s.udp_length, row);
    }
    if (protocol == kIcmp) {
        put<uint8_t>(s.icmp_type, row, rec.icmp_type);
        put<uint8_t>(s.icmp_code, row, rec.icmp_code);
    } else {
        put_null<uint8_t>(s.icmp_type, row);
        put_null<uint8_t>(s.icmp_code, row);
    }
    if (s.capture_time != nullptr) {
        // The record keeps the time as a double; its microseconds come back exactly by rounding.
        const auto micros = std::llround((rec.timestamp - static_cast<double>(rec.tv_sec)) * 1e6);
        put<int64_t>(s.capture_time, row, static_cast<int64_t>(rec.tv_sec) * 1000000 + micros);
    }
    return true;
}

void ColumnReader::append_features(size_t row) {
    const PacketRecord& rec = rec_;
    // Counting may throw std::bad_alloc; it comes before any cell of the row is written.
    const AdvancedFeatures feat = features_of(rec, hosts_.count_packet(rec));
    const Slots& s = slots_;
    put<double>(s.timestamp, row, feat.timestamp);
    put<uint16_t>(s.src_port, row, feat.src_port);
    put<uint16_t>(s.dst_port, row, feat.dst_port);
    put<int8_t>(s.protocol_type, row, feature_protocol(feat.protocol_type));
    put<uint32_t>(s.src_bytes, row, static_cast<uint32_t>(feat.src_bytes));
    put<uint8_t>(s.land, row, feat.land);
    put<uint8_t>(s.wrong_fragment, row, static_cast<uint8_t>(feat.wrong_fragment));
    put<uint32_t>(s.count, row, feat.count);
    if (s.src_ip != nullptr) {
        put_address(s.src_ip, row, rec, rec.src_ip_v4, rec.src_ip_v6);
        put_address(s.dst_ip, row, rec, rec.dst_ip_v4, rec.dst_ip_v6);
        put<uint8_t>(s.ip_proto, row, rec.ip_proto);
    }
}

void ColumnReader::keep_kernel_counts() {
    pcap_stat counts{};
    if (!live_ || !loop_.source().kernel_stats(&counts)) return;
    report_->update([&counts](ReadStats& stats) {
        stats.kernel_counted = true;
        stats.received = counts.ps_recv;
        stats.dropped = counts.ps_drop;
        stats.if_dropped = counts.ps_ifdrop;
    });
}

void ColumnReader::publish(uint64_t rows) {
    keep_kernel_counts();
    const FrameCounts& frames = loop_.counts();
    const bool finished = finished_ && !pending_error_;
    report_->update([&](ReadStats& stats) {
        stats.frames = frames;
        stats.rows += rows;
        if (rows > 0) ++stats.batches;
        stats.finished = finished;
    });
}

}  // namespace varnel::columns
