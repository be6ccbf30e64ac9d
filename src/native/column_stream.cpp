#include "column_stream.hpp"

#include "lock_released.hpp"

#include <cerrno>
#include <new>
#include <string>

namespace varnel::columns {
namespace {

struct StreamData {
    std::unique_ptr<ColumnReader> reader;
    std::string last_error;
};

StreamData* stream_data(ArrowArrayStream* stream) { return static_cast<StreamData*>(stream->private_data); }

// Every callback catches what it throws: it returns to C code of any consumer.
int get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
    StreamData* data = stream_data(stream);
    try {
        data->reader->export_schema(out);
        return 0;
    } catch (...) {
        data->last_error = "out of memory while describing the columns";
        return ENOMEM;
    }
}

int get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
    StreamData* data = stream_data(stream);
    LockReleased unlocked;
    try {
        if (data->reader->next_batch(out)) return 0;
        data->last_error = data->reader->error();
        return EIO;
    } catch (const std::bad_alloc&) {
        data->last_error = "out of memory while filling a batch";
        out->release = nullptr;
        return ENOMEM;
    } catch (...) {
        data->last_error = "unexpected native error while filling a batch";
        out->release = nullptr;
        return EINVAL;
    }
}

const char* get_last_error(ArrowArrayStream* stream) noexcept {
    StreamData* data = stream_data(stream);
    return data->last_error.empty() ? nullptr : data->last_error.c_str();
}

// Closes the capture file still open and frees the reader.
void release(ArrowArrayStream* stream) noexcept {
    delete stream_data(stream);
    stream->private_data = nullptr;
    stream->release = nullptr;
}

}  // namespace

bool export_stream(std::unique_ptr<ColumnReader> reader, ArrowArrayStream* out) noexcept {
    out->release = nullptr;
    try {
        auto data = std::make_unique<StreamData>();
        data->reader = std::move(reader);
        *out = ArrowArrayStream{get_schema, get_next, get_last_error, release, data.release()};
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace varnel::columns
