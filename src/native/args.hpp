// The one argument convention of the package's functions: exactly one argument,
// positional or by keyword, exactly `bytes` or None.
#pragma once

#include "ref.hpp"

namespace varnel {

struct ArgumentName {
    const char* function;  // as it appears in messages, e.g. "read_pcap"
    const char* keyword;   // e.g. "file_path"
};

// Returns a borrowed reference to the one argument, of any type, or null with TypeError set.
// Takes the vectorcall layout (METH_FASTCALL | METH_KEYWORDS).
PyObject* parse_one_argument(const ArgumentName& name, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

// As parse_one_argument, and the argument must be exactly `bytes` or None.
PyObject* parse_bytes_or_none(const ArgumentName& name, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

// Rejects any argument at all; for functions that take none. Returns false with TypeError set.
// With `function` given as module and qualified name ("pkg.module.func"), the texts are the
// interpreter's own for its no-argument functions.
bool parse_no_arguments(const char* function, Py_ssize_t nargs, PyObject* kwnames);

// The run-time checks made on the argument when a run starts. Returns the NUL-terminated
// name, or null with TypeError (None) or ValueError (an embedded NUL byte) set.
const char* bytes_argument_as_name(PyObject* argument);

}  // namespace varnel
