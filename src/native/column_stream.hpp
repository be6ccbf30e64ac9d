// A column reader as an Arrow C stream. Consumers call the stream from their own threads, with or
// without the interpreter lock (pyarrow releases it, DuckDB reads on worker threads): the
// callbacks never take the lock, and where the caller holds it the batch is filled with it
// released. The stream holds no interpreter object.
#pragma once

#include "column_batch.hpp"

#include <memory>

namespace varnel::columns {

// Makes `out` a stream over `reader`, which it takes over. False when memory ran out (`out` is
// left released, the reader freed).
bool export_stream(std::unique_ptr<ColumnReader> reader, ArrowArrayStream* out) noexcept;

}  // namespace varnel::columns
