// chain_carries(runs, threshold, /): the counts carried across the byte ranges of one capture,
// from each range's runs() (a sequence of their dicts). A function of varnel._columns.
#pragma once

#include "ref.hpp"

namespace varnel {

// A list of bytes per range (uint32 per destination code, native byte order), or None where the
// carries cannot be proved exact. ValueError for runs that do not fit together.
PyObject* chain_carries(PyObject* module, PyObject* args);

}  // namespace varnel
