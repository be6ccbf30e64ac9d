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

    // Makes every cached int. Done when the module loads, not lazily during a run: ints made
    // mid-run would sit among that run's rows in the allocator's arenas and keep those arenas
    // alive after the rows are freed. False with an exception set.
    bool fill() {
        for (uint32_t value = 0; value < kSize; ++value) {
            if (objects_[value] != nullptr) continue;
            objects_[value] = PyLong_FromUnsignedLong(value);
            if (objects_[value] == nullptr) return false;
        }
        return true;
    }

    // A new reference to an int equal to `value`, or null with an exception set.
    PyObject* get(uint64_t value) const {
        if (value >= kSize) return PyLong_FromUnsignedLongLong(value);
        return Py_NewRef(objects_[value]);
    }

private:
    // Kept for the life of the process: a module's cache lives in static storage, whose
    // destructors would run after the interpreter is gone.
    PyObject* objects_[kSize] = {};
};

// The cache of the extension module this code is linked into (each module has its own copy of
// this static library, and so its own cache). Zero-initialised storage, filled at module load.
extern UIntCache shared_int_cache;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
inline UIntCache& shared_ints() { return shared_int_cache; }

}  // namespace varnel
