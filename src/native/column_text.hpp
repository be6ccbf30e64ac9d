// Record batches as text: CSV or JSON lines, byte for byte what Python's csv module and
// json.JSONEncoder write of the rows (JSON lines with every column, null where a row has no
// value). Works on the Arrow C structs alone, so a caller may run it with the interpreter lock
// released.
#pragma once

#include "arrow_c.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::columns {

enum class TextFormat : uint8_t { Csv, JsonLines };

// How each column of a stream's schema is written; made once from the schema.
class TextLayout {
public:
    // Throws std::invalid_argument for a column type the formats have no text for. `file_cells`, when
    // given, are the ready-made cells of the file column, one per index of its dictionary: a name's
    // bytes as they are on disk in CSV, a JSON string in JSON lines.
    TextLayout(const ArrowSchema& schema, TextFormat format, std::vector<std::string> file_cells = {});

    // Appends rows [0, rows) of `batch` (a struct array of the schema) to `out`; throws
    // std::bad_alloc.
    void append(const ArrowArray& batch, int64_t rows, std::string& out) const;

private:
    enum class Kind : uint8_t {
        Bool, Float64, UInt8, UInt16, UInt32, UInt64, Int8Dictionary, Int16Dictionary, Int32Dictionary, Text, File
    };
    struct Cell {
        Kind kind;
        std::string key;  // JSON lines: `"name": `
    };
    void append_cell(const ArrowArray& column, const Cell& cell, int64_t at, std::string& out) const;
    // The text of a Text or dictionary cell.
    static std::string_view text_of(const ArrowArray& column, Kind kind, int64_t at);

    TextFormat format_;
    std::vector<std::string> file_cells_;
    std::vector<Cell> cells_;
};

// Python's repr of a float: the shortest text that reads back as the same double.
size_t write_float_repr(double value, char* out);

}  // namespace varnel::columns
