#include "column_stream.hpp"

#include "lock_released.hpp"

#include <cerrno>
#include <new>
#include <string>

namespace varnel::columns {
namespace {

struct StreamData {
    std::unique_ptr<BatchSource> source;
    std::string last_error;
    // A fixed text in place of last_error: set where memory ran out, so that setting it cannot fail.
    const char* fixed_error = nullptr;

    void say(const char* text) noexcept {
        last_error.clear();
        fixed_error = text;
    }
};

class SingleSource final : public BatchSource {
public:
    explicit SingleSource(std::unique_ptr<ColumnReader> reader) : reader_(std::move(reader)) {}
    bool next_batch(ArrowArray* out) override { return reader_->next_batch(out); }
    const std::string& error() const override { return reader_->error(); }
    void export_schema(ArrowSchema* out) const override { reader_->export_schema(out); }

private:
    std::unique_ptr<ColumnReader> reader_;
};

// A consumer waiting for the next input's batches gets an empty batch every kWaitSliceMs: a consumer
// in Python gets control back between batches, so Ctrl+C lands however long an input takes.
class ThreadedSource final : public BatchSource {
public:
    ThreadedSource(size_t inputs, size_t jobs, OrderedBatches::MakeReader make, std::unique_ptr<ColumnReader> first,
                   std::vector<ColumnLayout> layouts)
        : empty_(std::move(layouts)), batches_(inputs, jobs, std::move(make), std::move(first)) {}

    bool next_batch(ArrowArray* out) override {
        out->release = nullptr;
        if (failed_) return false;
        switch (batches_.next(out, kWaitSliceMs)) {
            case OrderedBatches::Next::Batch:
            case OrderedBatches::Next::End: return true;
            case OrderedBatches::Next::Failed: failed_ = true; return false;
            case OrderedBatches::Next::Waiting:
                empty_.start(0);
                empty_.export_batch(0, out);
                return true;
        }
        return false;
    }
    const std::string& error() const override { return batches_.error(); }
    void export_schema(ArrowSchema* out) const override { columns::export_schema(empty_.layouts(), out); }

private:
    BatchBuilder empty_;
    OrderedBatches batches_;
    bool failed_ = false;
};

StreamData* stream_data(ArrowArrayStream* stream) { return static_cast<StreamData*>(stream->private_data); }

// Every callback catches what it throws: it returns to C code of any consumer.
int get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
    StreamData* data = stream_data(stream);
    try {
        data->source->export_schema(out);
        return 0;
    } catch (...) {
        data->say("out of memory while describing the columns");
        return ENOMEM;
    }
}

int get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
    StreamData* data = stream_data(stream);
    LockReleased unlocked;
    try {
        if (data->source->next_batch(out)) return 0;
        data->last_error = data->source->error();
        data->fixed_error = nullptr;
        return EIO;
    } catch (const std::bad_alloc&) {
        data->say(kOutOfMemoryFilling);
        out->release = nullptr;
        return ENOMEM;
    } catch (...) {
        data->say("unexpected native error while filling a batch");
        out->release = nullptr;
        return EINVAL;
    }
}

const char* get_last_error(ArrowArrayStream* stream) noexcept {
    const StreamData* data = stream_data(stream);
    if (data->fixed_error != nullptr) return data->fixed_error;
    return data->last_error.empty() ? nullptr : data->last_error.c_str();
}

// Closes the capture file still open and frees the reader.
void release(ArrowArrayStream* stream) noexcept {
    delete stream_data(stream);
    stream->private_data = nullptr;
    stream->release = nullptr;
}

}  // namespace

std::unique_ptr<BatchSource> single_source(std::unique_ptr<ColumnReader> reader) {
    return std::make_unique<SingleSource>(std::move(reader));
}

std::unique_ptr<BatchSource> threaded_source(size_t inputs, size_t jobs, OrderedBatches::MakeReader make,
                                             std::unique_ptr<ColumnReader> first,
                                             std::vector<ColumnLayout> layouts) {
    return std::make_unique<ThreadedSource>(inputs, jobs, std::move(make), std::move(first), std::move(layouts));
}

bool export_stream(std::unique_ptr<BatchSource> source, ArrowArrayStream* out) noexcept {
    out->release = nullptr;
    try {
        auto data = std::make_unique<StreamData>();
        data->source = std::move(source);
        *out = ArrowArrayStream{get_schema, get_next, get_last_error, release, data.release()};
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace varnel::columns
