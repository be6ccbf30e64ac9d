// The streaming decompressors behind a compressed capture file, one per library the build found
// (gzip through ISA-L where it is there, else zlib; zstd; liblzma). Each is called once per refill of the reader's buffer, never per record.
#pragma once

#include "byte_input.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace varnel {

class Decompressor {
public:
    virtual ~Decompressor() = default;
    // Feeds `input` (the bytes taken are reported in *used) and writes at most `room` bytes to
    // `output`; returns the bytes written. `input_ended`: no input follows what is given. Corrupt
    // data sets failure_text(); what was decompressed before it is still returned, and nothing after.
    virtual long produce(const uint8_t* input, size_t input_size, size_t* used, uint8_t* output, size_t room,
                         bool input_ended) = 0;
    // The data so far ends a whole stream (a gzip member, a zstd frame, an xz stream).
    virtual bool at_boundary() const = 0;
    virtual const char* name() const = 0;
    const std::string& failure_text() const { return failure_text_; }
    bool failed() const { return !failure_text_.empty(); }

protected:
    std::string failure_text_;
};

// Null when this build has no library for `compression`.
std::unique_ptr<Decompressor> make_decompressor(Compression compression);

}  // namespace varnel
