#include "chain_carries.hpp"

#include "lock_released.hpp"
#include "range_carries.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

namespace varnel {
namespace {

using range_carries::FamilyRuns;
using range_carries::RangeRuns;

// The bytes value of `name` in a family's runs dict, `item` bytes per node, kept alive in `kept`;
// null with ValueError otherwise.
const uint8_t* array_of(PyObject* runs, const char* name, size_t item, size_t* nodes, std::vector<Ref>* kept) {
    PyObject* value = PyDict_GetItemString(runs, name);  // borrowed
    if (value == nullptr || !PyBytes_Check(value) || PyBytes_GET_SIZE(value) % static_cast<Py_ssize_t>(item) != 0 ||
        (*nodes != SIZE_MAX && static_cast<size_t>(PyBytes_GET_SIZE(value)) / item != *nodes)) {
        PyErr_Format(PyExc_ValueError, "runs: '%s' is not an array of the range's destinations", name);
        return nullptr;
    }
    *nodes = static_cast<size_t>(PyBytes_GET_SIZE(value)) / item;
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

bool is_dict(PyObject* value, const char* what) {
    if (value != nullptr && PyDict_Check(value)) return true;
    PyErr_Format(PyExc_ValueError, "runs: %s is not a dict", what);
    return false;
}

// Points `into` at one family's arrays in a range's runs dict.
bool read_family(PyObject* runs, const char* name, size_t key_bytes, FamilyRuns* into, std::vector<Ref>* kept) {
    PyObject* family = PyDict_GetItemString(runs, name);  // borrowed
    if (!is_dict(family, name)) return false;
    size_t nodes = SIZE_MAX;
    if ((into->keys = array_of(family, "keys", key_bytes, &nodes, kept)) == nullptr ||
        (into->first = array_of(family, "first", sizeof(double), &nodes, kept)) == nullptr ||
        (into->last = array_of(family, "last", sizeof(double), &nodes, kept)) == nullptr ||
        (into->whole = array_of(family, "whole", 1, &nodes, kept)) == nullptr ||
        (into->end_count = array_of(family, "end_count", sizeof(uint32_t), &nodes, kept)) == nullptr) {
        return false;
    }
    into->nodes = nodes;
    return true;
}

// Points `into` at a runs dict's arrays, which `kept` holds while the lock is released.
bool read_runs(PyObject* runs, RangeRuns* into, std::vector<Ref>* kept) {
    if (!is_dict(runs, "a range's runs") ||
        !read_family(runs, "ipv4", HostTracker::kKeyBytes[0], &into->family[0], kept) ||
        !read_family(runs, "ipv6", HostTracker::kKeyBytes[1], &into->family[1], kept) ||
        !number_of(runs, "lowest", &into->lowest) || !number_of(runs, "highest", &into->highest)) {
        return false;
    }
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
        kept.reserve(ranges.size() * 10);
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
