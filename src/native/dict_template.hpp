// Dictionaries that all carry the same keys in the same order (packet dicts, feature rows).
#pragma once

#include "ref.hpp"

#include <span>

namespace varnel {

// A template holding every key in order, each mapped to None. A copy of it keeps the compact
// all-str keys table and never resizes while its values are filled in.
class DictTemplate {
public:
    // False with an exception set.
    bool init(std::span<PyObject* const> keys) {
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return false;
        for (PyObject* key : keys) {
            if (PyDict_SetItem(dict.get(), key, Py_None) < 0) return false;
        }
        template_ = dict.release();
        return true;
    }

    // A new dictionary with every key mapped to None, or null with an exception set.
    PyObject* new_dict() const { return PyDict_Copy(template_); }

private:
    // Owned for the life of the process: a module's templates live in static storage, whose
    // destructors would run after the interpreter is gone.
    PyObject* template_ = nullptr;
};

// Stores a new reference `value` under `key` and drops ours; a null value (a failed
// conversion) is passed on as failure.
inline bool put(PyObject* dict, PyObject* key, PyObject* value) {
    if (value == nullptr) return false;
    int result = PyDict_SetItem(dict, key, value);
    Py_DECREF(value);
    return result == 0;
}

}  // namespace varnel
