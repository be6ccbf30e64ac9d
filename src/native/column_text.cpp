#include "column_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace varnel::columns {
namespace {

bool is_set(const ArrowArray& array, int64_t row) {
    if (array.null_count == 0 || array.buffers[0] == nullptr) return true;
    const int64_t bit = array.offset + row;
    return (static_cast<const uint8_t*>(array.buffers[0])[bit / 8] >> (bit % 8) & 1) != 0;
}

template <class T>
T value_at(const ArrowArray& array, int64_t row) {
    return static_cast<const T*>(array.buffers[1])[array.offset + row];
}

std::string_view text_at(const ArrowArray& array, int64_t index) {
    const auto* offsets = static_cast<const int32_t*>(array.buffers[1]) + array.offset;
    const auto* bytes = static_cast<const char*>(array.buffers[2]);
    return {bytes + offsets[index], static_cast<size_t>(offsets[index + 1] - offsets[index])};
}

void append_unsigned(std::string& out, uint64_t value) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

// Decodes one UTF-8 sequence at `text[i]`; a malformed byte stands for itself.
uint32_t next_code_point(std::string_view text, size_t& i) {
    const auto lead = static_cast<uint8_t>(text[i]);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 1;
    if (length == 1 || i + length > text.size()) {
        ++i;
        return lead;
    }
    uint32_t code = lead & (0x7Fu >> length);
    for (size_t k = 1; k < length; ++k) code = code << 6 | (static_cast<uint8_t>(text[i + k]) & 0x3F);
    i += length;
    return code;
}

void append_escape(std::string& out, uint32_t unit) {
    static const char hex[] = "0123456789abcdef";
    const char escape[6] = {'\\', 'u', hex[unit >> 12 & 15], hex[unit >> 8 & 15], hex[unit >> 4 & 15], hex[unit & 15]};
    out.append(escape, sizeof escape);
}

// A JSON string as json.JSONEncoder writes it with ensure_ascii.
void append_json_string(std::string& out, std::string_view text) {
    out.push_back('"');
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto byte = static_cast<uint8_t>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\') {
            out.push_back(c);
            ++i;
            continue;
        }
        if (byte < 0x80) {
            ++i;
            switch (c) {
                case '"': out.append("\\\""); break;
                case '\\': out.append("\\\\"); break;
                case '\n': out.append("\\n"); break;
                case '\r': out.append("\\r"); break;
                case '\t': out.append("\\t"); break;
                case '\b': out.append("\\b"); break;
                case '\f': out.append("\\f"); break;
                default: append_escape(out, byte);
            }
            continue;
        }
        const uint32_t code = next_code_point(text, i);
        if (code >= 0x10000) {
            const uint32_t low = code - 0x10000;
            append_escape(out, 0xD800 | low >> 10);
            append_escape(out, 0xDC00 | (low & 0x3FF));
        } else {
            append_escape(out, code);
        }
    }
    out.push_back('"');
}

// A CSV cell as the csv module writes it with its default dialect: quoted when it holds the
// delimiter, the quote or a line break, the quote doubled.
void append_csv_text(std::string& out, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        out.append(text);
        return;
    }
    out.push_back('"');
    for (const char c : text) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
}

}  // namespace

std::string_view TextLayout::text_of(const ArrowArray& column, Kind kind, int64_t at) {
    switch (kind) {
        case Kind::Int8Dictionary: return text_at(*column.dictionary, value_at<int8_t>(column, at));
        case Kind::Int16Dictionary: return text_at(*column.dictionary, value_at<int16_t>(column, at));
        case Kind::Int32Dictionary: return text_at(*column.dictionary, value_at<int32_t>(column, at));
        default: return text_at(column, at);
    }
}

size_t write_float_repr(double value, char* out) {
    char* p = out;
    constexpr std::string_view kNan = "nan", kInf = "inf";
    if (std::isnan(value)) {
        kNan.copy(p, kNan.size());
        return kNan.size();
    }
    if (std::signbit(value)) *p++ = '-';
    value = std::fabs(value);
    if (std::isinf(value)) {
        kInf.copy(p, kInf.size());
        return static_cast<size_t>(p - out) + kInf.size();
    }
    // The shortest round-trip digits, in scientific form: d[.ddd]e±x.
    char sci[32];
    const char* end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    char digits[24] = {'0'};
    size_t count = 0;
    const char* q = sci;
    for (; q < end && *q != 'e'; ++q) {
        if (*q != '.') digits[count++] = *q;
    }
    int exponent = 0;
    std::from_chars(q + 1 + (q[1] == '+' ? 1 : 0), end, exponent);
    const int point = exponent + 1;  // digits before the decimal point
    if (point > -4 && point <= 16) {
        // Fixed notation, always with a fraction ("1.0", "0.001").
        if (point <= 0) {
            *p++ = '0';
            *p++ = '.';
            for (int k = 0; k < -point; ++k) *p++ = '0';
            std::memcpy(p, digits, count);
            p += count;
        } else if (static_cast<size_t>(point) >= count) {
            std::memcpy(p, digits, count);
            p += count;
            for (size_t k = count; k < static_cast<size_t>(point); ++k) *p++ = '0';
            *p++ = '.';
            *p++ = '0';
        } else {
            std::memcpy(p, digits, static_cast<size_t>(point));
            p += point;
            *p++ = '.';
            std::memcpy(p, digits + point, count - static_cast<size_t>(point));
            p += count - static_cast<size_t>(point);
        }
        return static_cast<size_t>(p - out);
    }
    *p++ = digits[0];
    if (count > 1) {
        *p++ = '.';
        std::memcpy(p, digits + 1, count - 1);
        p += count - 1;
    }
    *p++ = 'e';
    *p++ = exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) *p++ = '0';
    p = std::to_chars(p, p + 4, magnitude).ptr;
    return static_cast<size_t>(p - out);
}

TextLayout::TextLayout(const ArrowSchema& schema, TextFormat format, std::vector<std::string> file_cells)
    : format_(format), file_cells_(std::move(file_cells)) {
    for (int64_t i = 0; i < schema.n_children; ++i) {
        const ArrowSchema& child = *schema.children[i];
        const std::string_view type = child.format;
        const bool text_dictionary = child.dictionary != nullptr && std::string_view(child.dictionary->format) == "u";
        Kind kind = Kind::Bool;
        if (type == "b") {
            // Kind::Bool, as set
        } else if (type == "g") {
            kind = Kind::Float64;
        } else if (type == "C") {
            kind = Kind::UInt8;
        } else if (type == "S") {
            kind = Kind::UInt16;
        } else if (type == "I") {
            kind = Kind::UInt32;
        } else if (type == "L") {
            kind = Kind::UInt64;
        } else if (type == "u") {
            kind = Kind::Text;
        } else if (type == "c" && text_dictionary) {
            kind = Kind::Int8Dictionary;
        } else if (type == "s" && text_dictionary) {
            kind = Kind::Int16Dictionary;
        } else if (type == "i" && text_dictionary) {
            kind = !file_cells_.empty() && std::string_view(child.name) == "file" ? Kind::File : Kind::Int32Dictionary;
        } else {
            throw std::invalid_argument(std::string("column ") + child.name + " has no text form");
        }
        std::string key;
        if (format == TextFormat::JsonLines) {
            append_json_string(key, child.name);
            key.append(": ");
        }
        cells_.push_back(Cell{kind, std::move(key)});
    }
}

void TextLayout::append(const ArrowArray& batch, int64_t rows, std::string& out) const {
    const bool json = format_ == TextFormat::JsonLines;
    for (int64_t row = 0; row < rows; ++row) {
        const int64_t at = batch.offset + row;
        if (json) out.push_back('{');
        for (size_t c = 0; c < cells_.size(); ++c) {
            const ArrowArray& column = *batch.children[c];
            const Cell& cell = cells_[c];
            if (json) {
                if (c > 0) out.append(", ");
                out.append(cell.key);
            } else if (c > 0) {
                out.push_back(',');
            }
            if (!is_set(column, at)) {
                // Every line carries every key, so that a reader inferring types from the first
                // lines finds each column; CSV leaves the cell empty.
                if (json) out.append("null");
                continue;
            }
            append_cell(column, cell, at, out);
        }
        out.append(json ? "}\n" : "\n");
    }
}

void TextLayout::append_cell(const ArrowArray& column, const Cell& cell, int64_t at, std::string& out) const {
    const bool json = format_ == TextFormat::JsonLines;
    char number[40];
    switch (cell.kind) {
        case Kind::Bool: {
            const int64_t bit = column.offset + at;
            const bool value = (static_cast<const uint8_t*>(column.buffers[1])[bit / 8] >> (bit % 8) & 1) != 0;
            out.append(json ? (value ? "true" : "false") : (value ? "True" : "False"));
            return;
        }
        case Kind::Float64: out.append(number, write_float_repr(value_at<double>(column, at), number)); return;
        case Kind::UInt8: append_unsigned(out, value_at<uint8_t>(column, at)); return;
        case Kind::UInt16: append_unsigned(out, value_at<uint16_t>(column, at)); return;
        case Kind::UInt32: append_unsigned(out, value_at<uint32_t>(column, at)); return;
        case Kind::UInt64: append_unsigned(out, value_at<uint64_t>(column, at)); return;
        case Kind::File: out.append(file_cells_.at(static_cast<size_t>(value_at<int32_t>(column, at)))); return;
        case Kind::Text:
        case Kind::Int8Dictionary:
        case Kind::Int16Dictionary:
        case Kind::Int32Dictionary: break;
    }
    const std::string_view text = text_of(column, cell.kind, at);
    if (json) {
        append_json_string(out, text);
    } else {
        append_csv_text(out, text);
    }
}

}  // namespace varnel::columns
