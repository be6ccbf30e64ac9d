// One native generator type for every stream of the package (file and live captures,
// feature streams). The work of each stream lives in a GeneratorBody; the type supplies
// the generator protocol around it: __next__, send, throw, close and finalisation.
#pragma once

#include "ref.hpp"

#include <memory>

namespace varnel {

class GeneratorBody {
public:
    virtual ~GeneratorBody() = default;

    // The next item as a new reference. Null with an exception set ends the stream with that
    // error; null with no exception ends it normally.
    virtual PyObject* next_item() = 0;

    // Releases what a run holds open (capture handle, host table). Called exactly once, on every
    // way the generator finishes, possibly with an exception pending: it must not raise.
    virtual void finish() noexcept = 0;

    // How far a file stream has read, in bytes; null with no exception where that has no meaning.
    virtual PyObject* read_position() { return nullptr; }

    // What the stream has read so far, as a new dict; null with an exception set. `running`: another
    // thread is inside next_item() with the lock released.
    virtual PyObject* stats(bool running);

    // Interpreter objects the body holds, for the cyclic collector.
    virtual int traverse(visitproc, void*) { return 0; }
};

// A new generator named `name` (qualified name `qualname`, both borrowed) that runs `body`.
PyObject* new_generator(std::unique_ptr<GeneratorBody> body, PyObject* name, PyObject* qualname);

// Readies the generator type in this extension module and registers it as a
// collections.abc.Generator. Call once from module initialisation; false with an exception set.
bool ready_generator_type();

}  // namespace varnel
