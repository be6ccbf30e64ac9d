// Column batches as an Arrow C stream. Consumers call the stream from their own threads, with or
// without the interpreter lock (pyarrow releases it, DuckDB reads on worker threads): the
// callbacks never take the lock, and where the caller holds it the batch is filled with it
// released. The stream holds no interpreter object.
#pragma once

#include "column_batch.hpp"
#include "ordered_batches.hpp"

#include <memory>

namespace varnel::columns {

// Where a stream's batches come from: one reader over every input in turn, or several inputs read
// on threads and handed on in order.
class BatchSource {
public:
    virtual ~BatchSource() = default;
    // As ColumnReader::next_batch.
    virtual bool next_batch(ArrowArray* out) = 0;
    virtual const std::string& error() const = 0;
    virtual void export_schema(ArrowSchema* out) const = 0;
};

std::unique_ptr<BatchSource> single_source(std::unique_ptr<ColumnReader> reader);
// `first` reads input 0 and is open; `make` makes the reader of each later input.
std::unique_ptr<BatchSource> threaded_source(size_t inputs, size_t jobs, OrderedBatches::MakeReader make,
                                             std::unique_ptr<ColumnReader> first,
                                             std::vector<ColumnLayout> layouts);

// Makes `out` a stream over `source`, which it takes over. False when memory ran out (`out` is
// left released, the source freed).
bool export_stream(std::unique_ptr<BatchSource> source, ArrowArrayStream* out) noexcept;

}  // namespace varnel::columns
