#include "column_buffers.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

namespace varnel::columns {
namespace {

constexpr size_t kMaxInitialText = size_t{16} << 20;
// A cell's room is asked for at its largest text (an IPv6 address at 45 bytes), past what it takes.
constexpr size_t kTextSlack = 64;

// The bytes a cell of a text column usually takes, so that a batch's texts mostly fit the buffer
// they start in: growing copies it. Larger cells (IPv6 addresses, years past 9999) grow it.
size_t usual_text_size(schema::FieldId field) {
    switch (field) {
        case schema::FieldId::date_time: return 19;  // YYYY-MM-DD HH:MM:SS
        case schema::FieldId::src_mac:
        case schema::FieldId::dst_mac: return 17;
        default: return 20;  // an IPv4 address, or a short IPv6 one
    }
}

const char* format_of(Layout layout) {
    switch (layout) {
        case Layout::Bool: return "b";
        case Layout::Float64: return "g";
        case Layout::UInt8: return "C";
        case Layout::UInt16: return "S";
        case Layout::UInt32: return "I";
        case Layout::UInt64: return "L";
        case Layout::Timestamp: return "tsu:UTC";
        case Layout::Text: return "u";
        case Layout::Dictionary: return "c";  // int8 indices
        case Layout::Dictionary32: return "i";
        case Layout::Dictionary16: return "s";
    }
    return "n";
}

// Bytes of the values buffer for `rows` rows.
size_t values_size(Layout layout, size_t rows) {
    switch (layout) {
        case Layout::Bool: return (rows + 7) / 8;
        case Layout::UInt8:
        case Layout::Dictionary: return rows;
        case Layout::UInt16:
        case Layout::Dictionary16: return rows * 2;
        case Layout::UInt32:
        case Layout::Dictionary32: return rows * 4;
        case Layout::Text: return (rows + 1) * 4;  // offsets
        case Layout::Float64:
        case Layout::UInt64:
        case Layout::Timestamp: return rows * 8;
    }
    return rows * 8;
}

bool has_dictionary(const ColumnLayout& layout) {
    return layout.dictionary != nullptr || layout.layout == Layout::Dictionary16;
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

// A dictionary array holds a share of the values it points into, for as long as a consumer keeps it.
struct DictionaryArrayData {
    std::shared_ptr<const TextDictionary> values;
    std::array<const void*, 3> buffers{};
};

void release_dictionary_array(ArrowArray* array) {
    delete static_cast<DictionaryArrayData*>(array->private_data);
    array->release = nullptr;
}

// Fills `out` with a dictionary array over `values`; throws std::bad_alloc with `out` untouched.
void export_dictionary(const std::shared_ptr<const TextDictionary>& values, ArrowArray* out) {
    auto data = std::make_unique<DictionaryArrayData>();
    data->values = values;
    data->buffers = {nullptr, values->offsets.data(), values->text.data()};
    *out = ArrowArray{values->size(), 0, 0, 3, 0, data->buffers.data(), nullptr, nullptr, release_dictionary_array,
                      data.release()};
}

// A dictionary built for one batch: its buffers are handed over with the batch.
struct BatchDictionaryArrayData {
    Buffer offsets, text;
    std::array<const void*, 3> buffers{};
};

void release_batch_dictionary_array(ArrowArray* array) {
    delete static_cast<BatchDictionaryArrayData*>(array->private_data);
    array->release = nullptr;
}

// Fills `out` with the values of `dictionary`, taken over; returns the bytes they hold. Throws
// std::bad_alloc with `out` and `dictionary` untouched.
size_t export_batch_dictionary(BatchDictionary& dictionary, ArrowArray* out) {
    auto data = std::make_unique<BatchDictionaryArrayData>();
    const auto values = static_cast<int64_t>(dictionary.size());
    data->offsets = dictionary.take_offsets();
    data->text = dictionary.take_text();
    data->buffers = {nullptr, data->offsets.bytes(), data->text.bytes()};
    const size_t bytes = data->offsets.capacity() + data->text.capacity();
    *out = ArrowArray{values, 0, 0, 3, 0, data->buffers.data(), nullptr, nullptr, release_batch_dictionary_array,
                      data.release()};
    return bytes;
}

// What one column array owns. Its dictionary is released with it unless a consumer moved it out.
struct ColumnArrayData {
    Buffer validity, values, text;
    std::array<const void*, 3> buffers{};
    ArrowArray dictionary{};

    ColumnArrayData() = default;
    ColumnArrayData(const ColumnArrayData&) = delete;
    ColumnArrayData& operator=(const ColumnArrayData&) = delete;
    ~ColumnArrayData() {
        if (dictionary.release != nullptr) dictionary.release(&dictionary);
    }
};

void release_column_array(ArrowArray* array) {
    delete static_cast<ColumnArrayData*>(array->private_data);
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

}  // namespace

std::shared_ptr<const TextDictionary> TextDictionary::of(std::span<const std::string_view> values) {
    auto dictionary = std::make_shared<TextDictionary>();
    dictionary->offsets.push_back(0);
    for (std::string_view value : values) {
        dictionary->text.append(value);
        dictionary->offsets.push_back(static_cast<int32_t>(dictionary->text.size()));
    }
    return dictionary;
}

ColumnLayout file_layout(std::shared_ptr<const TextDictionary> names) {
    return {schema::FieldId::file, schema::kFileField.name, Layout::Dictionary32, false, std::move(names)};
}

ColumnLayout layout_of(const schema::Field& field) {
    using schema::Type;
    ColumnLayout layout{field.id, field.name, Layout::Text, field.nullable(), nullptr};
    switch (field.type) {
        case Type::Bool: layout.layout = Layout::Bool; break;
        case Type::Float64: layout.layout = Layout::Float64; break;
        case Type::Text: layout.layout = Layout::Text; break;
        case Type::UInt8: layout.layout = Layout::UInt8; break;
        case Type::UInt16: layout.layout = Layout::UInt16; break;
        case Type::UInt32: layout.layout = Layout::UInt32; break;
        case Type::UInt64: layout.layout = Layout::UInt64; break;
        case Type::Timestamp: layout.layout = Layout::Timestamp; break;
        case Type::Category:
            // Few-valued texts travel as small indices into one dictionary shared by every batch.
            layout.layout = Layout::Dictionary;
            layout.dictionary = TextDictionary::of(field.values);
            break;
    }
    return layout;
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
        if (has_dictionary(layout)) {
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

// ---- BatchBuilder

BatchBuilder::BatchBuilder(std::vector<ColumnLayout> layouts) : layouts_(std::move(layouts)) {
    columns_.reserve(layouts_.size());
    std::transform(layouts_.begin(), layouts_.end(), std::back_inserter(columns_),
                   [](const ColumnLayout& layout) { return Column{layout, {}, {}, {}, 0, 0, {}}; });
    // The vector does not grow after this: the pointers stay valid for the builder's life.
    for (Column& built : columns_) {
        by_field_[static_cast<size_t>(built.layout.field)] = &built;
        if (built.builds_dictionary()) batch_dictionaries_.push_back(&built);
    }
}

void BatchBuilder::start(size_t capacity) {
    capacity_ = capacity;
    for (Column& filled : columns_) {
        const Layout layout = filled.layout.layout;
        filled.values.allocate(values_size(layout, capacity));
        if (layout == Layout::Bool) std::memset(filled.values.bytes(), 0, filled.values.capacity());
        if (layout == Layout::Text) {
            filled.values.as<int32_t>()[0] = 0;
            // A huge batch size does not reserve its whole worst case up front; what is not filled
            // goes back when the batch is exported.
            const size_t usual = capacity * usual_text_size(filled.layout.field) + kTextSlack;
            filled.text.allocate(std::min(usual, kMaxInitialText));
        }
        if (filled.layout.nullable) {
            filled.validity.allocate((capacity + 7) / 8);
            std::memset(filled.validity.bytes(), 0xFF, filled.validity.capacity());
        }
        if (filled.builds_dictionary()) filled.batch_dictionary.start(capacity);
        filled.text_size = 0;
        filled.null_count = 0;
    }
}

bool BatchBuilder::dictionary_full() const noexcept {
    return std::any_of(batch_dictionaries_.begin(), batch_dictionaries_.end(),
                       [](const Column* column) { return column->batch_dictionary.full(); });
}

void BatchBuilder::export_batch(size_t rows, ArrowArray* out) {
    auto data = std::make_unique<BatchArrayData>();
    std::vector<std::unique_ptr<ColumnArrayData>> arrays;
    size_t dictionary_bytes = 0;
    for (size_t i = 0; i < columns_.size(); ++i) {
        arrays.push_back(std::make_unique<ColumnArrayData>());
        Column& filled = columns_[i];
        if (filled.layout.dictionary) export_dictionary(filled.layout.dictionary, &arrays.back()->dictionary);
        if (filled.builds_dictionary()) {
            dictionary_bytes += export_batch_dictionary(filled.batch_dictionary, &arrays.back()->dictionary);
        }
    }
    data->children.resize(columns_.size());
    data->pointers.reserve(columns_.size());
    exported_bytes_ = dictionary_bytes;
    // Nothing below throws: the buffers move over and the batch is handed out whole.
    for (size_t i = 0; i < columns_.size(); ++i) {
        Column& source = columns_[i];
        ColumnArrayData& array = *arrays[i];
        const Layout layout = source.layout.layout;
        if (rows < capacity_) source.values.shrink(values_size(layout, rows));
        if (layout == Layout::Text) source.text.shrink(source.text_size);
        exported_bytes_ += source.values.capacity() + source.text.capacity() + source.validity.capacity();
        array.values = std::move(source.values);
        array.text = std::move(source.text);
        array.validity = std::move(source.validity);
        array.buffers = {source.layout.nullable ? array.validity.bytes() : nullptr, array.values.bytes(),
                         array.text.bytes()};
        ArrowArray* dictionary = has_dictionary(source.layout) ? &array.dictionary : nullptr;
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

}  // namespace varnel::columns
