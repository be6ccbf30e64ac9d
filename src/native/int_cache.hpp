// Shared int objects for the small unsigned values that rows repeat endlessly (ports, frame
// lengths, counts): a row holds a reference to the one object instead of a new int per field.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <cstdint>

namespace varnel {

class UIntCache {
public:
    static constexpr uint32_t kSize = 65536;  // every port number

    // A new reference to an int equal to `value`, or null with an exception set.
    PyObject* get(uint64_t value) {
        if (value >= kSize) return PyLong_FromUnsignedLongLong(value);
        PyObject*& slot = objects_[value];
        if (slot == nullptr) {
            slot = PyLong_FromUnsignedLongLong(value);
            if (slot == nullptr) return nullptr;
        }
        return Py_NewRef(slot);
    }

private:
    // Filled on first use and kept for the life of the process: a module's caches live in static
    // storage, whose destructors would run after the interpreter is gone.
    PyObject* objects_[kSize] = {};
};

}  // namespace varnel
