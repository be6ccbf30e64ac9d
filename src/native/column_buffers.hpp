// Columns in Arrow's layout: the buffers one record batch is filled into, and their hand-over to a
// consumer through the Arrow C data interface (the batch as a struct array, the schema). Nothing
// here touches the interpreter.
#pragma once

#include "arrow_c.hpp"
#include "batch_dictionary.hpp"
#include "buffer.hpp"
#include "schema.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::columns {

// How cells of a column are laid out in Arrow. Dictionary and Dictionary32 index a dictionary
// every batch shares; Dictionary16 one built for each batch (a BatchDictionary).
enum class Layout : uint8_t {
    Bool, Float64, UInt8, UInt16, UInt32, UInt64, Timestamp, Text, Dictionary, Dictionary32, Dictionary16
};

// The values of a dictionary-encoded column as an Arrow utf8 array, shared by every batch: a
// consumer may keep a batch's dictionary after the batch (and the reader) are gone.
struct TextDictionary {
    std::vector<int32_t> offsets;
    std::string text;

    static std::shared_ptr<const TextDictionary> of(std::span<const std::string_view> values);
    int64_t size() const noexcept { return static_cast<int64_t>(offsets.size()) - 1; }
};

struct ColumnLayout {
    schema::FieldId field;
    std::string_view name;
    Layout layout;
    bool nullable;
    std::shared_ptr<const TextDictionary> dictionary;  // Layout::Dictionary (int8 indices) or Dictionary32
};

// The layout of a field of the field table.
ColumnLayout layout_of(const schema::Field& field);
// The file column: a dictionary of the inputs' names, with indices wide enough for any number.
ColumnLayout file_layout(std::shared_ptr<const TextDictionary> names);

// Fills `out` with the struct schema of `layouts`; throws std::bad_alloc with `out` untouched.
void export_schema(std::span<const ColumnLayout> layouts, ArrowSchema* out);

// One column of the batch being filled.
struct Column {
    ColumnLayout layout;
    Buffer validity;  // nullable columns: one bit a row, set unless the cell is null
    Buffer values;    // fixed-width values, a bitmap for Bool, int32 offsets for Text, indices
    Buffer text;      // Text: the bytes the offsets point into
    size_t text_size = 0;
    int64_t null_count = 0;
    BatchDictionary batch_dictionary;  // Dictionary16: this batch's values

    template <class T>
    void put(size_t row, T value) noexcept {
        values.as<T>()[row] = value;
    }
    void put_bit(size_t row) noexcept { values.bytes()[row / 8] |= static_cast<uint8_t>(1u << (row % 8)); }
    template <class T>
    void put_null(size_t row) noexcept {
        values.as<T>()[row] = 0;
        validity.bytes()[row / 8] &= static_cast<uint8_t>(~(1u << (row % 8)));
        ++null_count;
    }
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
    // Dictionary16: the cell of `row` is the value of `key`, as BatchDictionary::index_of.
    template <class Key, class Write>
    void put_value(size_t row, const Key& key, size_t max_text, Write&& write) {
        values.as<int16_t>()[row] = batch_dictionary.index_of(key, max_text, write);
    }
    bool builds_dictionary() const noexcept { return layout.layout == Layout::Dictionary16; }
};

// The columns of one batch at a time: fresh buffers for each, handed over whole on export.
class BatchBuilder {
public:
    explicit BatchBuilder(std::vector<ColumnLayout> layouts);
    BatchBuilder(const BatchBuilder&) = delete;
    BatchBuilder& operator=(const BatchBuilder&) = delete;
    ~BatchBuilder() = default;

    // Fresh buffers for up to `capacity` rows; throws std::bad_alloc.
    void start(size_t capacity);
    // The column of `field`, or null where the batch has none.
    // cppcheck-suppress CastIntegerToAddressAtReturn ; by_field_ holds pointers: the array's size is lost on it
    Column* column(schema::FieldId field) noexcept { return by_field_[static_cast<size_t>(field)]; }
    // Hands the first `rows` rows over as a struct array; throws std::bad_alloc with `out` untouched.
    void export_batch(size_t rows, ArrowArray* out);
    // A dictionary of the batch is full: the batch ends before another row.
    bool dictionary_full() const noexcept;
    // The bytes of buffers the last exported batch holds.
    size_t exported_bytes() const noexcept { return exported_bytes_; }
    const std::vector<ColumnLayout>& layouts() const noexcept { return layouts_; }

private:
    std::vector<ColumnLayout> layouts_;
    std::vector<Column> columns_;
    std::array<Column*, schema::kFieldIdCount> by_field_{};
    std::vector<const Column*> batch_dictionaries_;  // the Dictionary16 columns
    size_t capacity_ = 0;
    size_t exported_bytes_ = 0;
};

}  // namespace varnel::columns
