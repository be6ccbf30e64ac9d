#include "chain_carries.hpp"

#include "lock_released.hpp"
#include "range_carries.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

namespace varnel {
namespace {

using range_carries::RangeRuns;

// The bytes value of `name` in a runs dict, `item` bytes per code, kept alive in `kept`; null with
// ValueError otherwise.
const uint8_t* array_of(PyObject* runs, const char* name, size_t item, size_t* codes, std::vector<Ref>* kept) {
    PyObject* value = PyDict_GetItemString(runs, name);  // borrowed
    if (value == nullptr || !PyBytes_Check(value) || PyBytes_GET_SIZE(value) % static_cast<Py_ssize_t>(item) != 0 ||
        (*codes != SIZE_MAX && static_cast<size_t>(PyBytes_GET_SIZE(value)) / item != *codes)) {
        PyErr_Format(PyExc_ValueError, "runs: '%s' is not an array of the range's destinations", name);
        return nullptr;
    }
    *codes = static_cast<size_t>(PyBytes_GET_SIZE(value)) / item;
    kept->push_back(Ref::borrow(value));
    return reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(value));
}

bool number_of(PyObject* runs, const char* name, double* number) {
    PyObject* value = PyDict_GetItemString(runs, name);  // borrowed
    *number = value == nullptr ? -1.0 : PyFloat_AsDouble(value);
    if (value != nullptr && !PyErr_Occurred()) return true;
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "runs: '%s' is not a number", name);
    return false;
}

// Points `into` at a runs dict's arrays, which `kept` holds while the lock is released.
bool read_runs(PyObject* runs, RangeRuns* into, std::vector<Ref>* kept) {
    if (!PyDict_Check(runs)) {
        PyErr_SetString(PyExc_ValueError, "runs: each range's runs are a dict");
        return false;
    }
    size_t codes = SIZE_MAX;
    into->keys = array_of(runs, "keys", RangeRuns::kKeyBytes, &codes, kept);
    if (into->keys == nullptr || (into->first = array_of(runs, "first", sizeof(double), &codes, kept)) == nullptr ||
        (into->last = array_of(runs, "last", sizeof(double), &codes, kept)) == nullptr ||
        (into->whole = array_of(runs, "whole", 1, &codes, kept)) == nullptr ||
        (into->end_count = array_of(runs, "end_count", sizeof(uint32_t), &codes, kept)) == nullptr ||
        !number_of(runs, "lowest", &into->lowest) || !number_of(runs, "highest", &into->highest)) {
        return false;
    }
    into->codes = codes;
    PyObject* late = PyDict_GetItemString(runs, "late_inside");  // borrowed
    into->late_inside = late != nullptr && PyObject_IsTrue(late) == 1;
    return true;
}

PyObject* list_of_bytes(const std::vector<std::vector<uint32_t>>& carries) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(carries.size())));
    if (!list) return nullptr;
    for (size_t index = 0; index < carries.size(); ++index) {
        const std::vector<uint32_t>& carry = carries[index];
        PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(carry.data()),
                                                    static_cast<Py_ssize_t>(carry.size() * sizeof(uint32_t)));
        if (bytes == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), bytes);
    }
    return list.release();
}

}  // namespace

PyObject* chain_carries(PyObject*, PyObject* args) {
    PyObject* runs_list = nullptr;
    Py_ssize_t threshold = 0;
    if (!PyArg_ParseTuple(args, "On:chain_carries", &runs_list, &threshold)) return nullptr;
    // A tuple of its own: a dict's __bool__ or __float__ may change the caller's list meanwhile.
    Ref items = Ref::steal(PySequence_Tuple(runs_list));
    if (!items) return nullptr;
    try {
        std::vector<RangeRuns> ranges(static_cast<size_t>(PyTuple_GET_SIZE(items.get())));
        std::vector<Ref> kept;  // the arrays, whatever other threads do to the dicts meanwhile
        kept.reserve(ranges.size() * 5);
        for (size_t index = 0; index < ranges.size(); ++index) {
            PyObject* runs = PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(index));
            if (!read_runs(runs, &ranges[index], &kept)) return nullptr;
        }
        std::vector<std::vector<uint32_t>> carries;
        bool exact = false;
        {
            LockReleased unlocked;
            exact = range_carries::chain_carries(ranges, static_cast<size_t>(std::max<Py_ssize_t>(threshold, 0)),
                                                 &carries);
        }
        if (!exact) Py_RETURN_NONE;
        return list_of_bytes(carries);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace varnel
