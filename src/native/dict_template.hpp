// Dictionaries that all carry the same keys in the same order (packet dicts, feature rows).
#pragma once

#include "ref.hpp"

#include <algorithm>
#include <cassert>
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
        Ref probe = Ref::steal(PyDict_Copy(dict.get()));
        if (!probe) return false;
        fills_in_place_ = copies_fill_in_place(dict.get(), probe.get(), keys);
        template_ = dict.release();
        return true;
    }

    // A new dictionary with every key mapped to None, or null with an exception set.
    PyObject* new_dict() const { return PyDict_Copy(template_); }

    // Whether a fresh copy's values may be stored straight into its entries, in key order,
    // rather than through a lookup per key (checked once on the interpreter's actual layout).
    bool fills_in_place() const noexcept { return fills_in_place_; }
    // The value slots of a fresh copy, key i's at [2 * i]; only when fills_in_place().
    static PyObject** value_slots(PyObject* copy) noexcept;

private:
    // Whether `copy` of `original` has the layout the in-place fill relies on: a compact table of
    // str keys of its own (not shared with the original), the keys in order, every value None.
    static bool copies_fill_in_place(PyObject* original, PyObject* copy, std::span<PyObject* const> keys) noexcept;

    // Owned for the life of the process: a module's templates live in static storage, whose
    // destructors would run after the interpreter is gone.
    PyObject* template_ = nullptr;
    bool fills_in_place_ = false;
};

// Stores a new reference `value` under `key` and drops ours; a null value (a failed
// conversion) is passed on as failure.
inline bool put(PyObject* dict, PyObject* key, PyObject* value) {
    if (value == nullptr) return false;
    int result = PyDict_SetItem(dict, key, value);
    Py_DECREF(value);
    return result == 0;
}

// The values a filled dictionary may hold. None of them can be part of a reference cycle, so a
// value stored straight into an entry needs no garbage-collector tracking of the dictionary.
inline bool is_plain_value(PyObject* value) {
    return PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
           PyBool_Check(value) || value == Py_None;
}

// A fresh copy of a template, filled value by value in the template's key order.
class DictFill {
public:
    explicit DictFill(const DictTemplate& shape)
        : dict_(Ref::steal(shape.new_dict())),
          slots_(dict_ && shape.fills_in_place() ? DictTemplate::value_slots(dict_.get()) : nullptr) {}

    explicit operator bool() const noexcept { return static_cast<bool>(dict_); }

    // Stores the new reference `value` under `key`, the template's next key; a null value (a
    // failed conversion) is passed on as failure.
    bool put(PyObject* key, PyObject* value) {
        if (slots_ == nullptr) return varnel::put(dict_.get(), key, value);
        if (value == nullptr) return false;
        // An entry's key is the pointer just before its value.
        assert((slots_ + 2 * next_)[-1] == key && "values are filled in the template's key order");
        assert(is_plain_value(value) && "only untracked values may bypass the dict's own insertion");
        PyObject*& value_slot = slots_[2 * next_++];
        Py_SETREF(value_slot, value);  // the template's None
        return true;
    }

    // Stores new references to every value, in the template's key order, from the next key on;
    // takes them all over, also when one of them is null (a failed conversion), which fails.
    bool put_all(std::span<PyObject* const> keys, std::span<PyObject* const> values) {
        if (std::find(values.begin(), values.end(), nullptr) != values.end()) {
            for (PyObject* value : values) Py_XDECREF(value);
            return false;
        }
        for (size_t i = 0; i < values.size(); ++i) {
            if (!put(keys[i], values[i])) {
                for (PyObject* rest : values.subspan(i + 1)) Py_DECREF(rest);
                return false;
            }
        }
        return true;
    }

    // The filled dictionary (a new reference); the fill is empty afterwards.
    PyObject* release() noexcept { return dict_.release(); }

private:
    Ref dict_;
    PyObject** slots_;
    size_t next_ = 0;
};

inline bool put(DictFill& dict, PyObject* key, PyObject* value) { return dict.put(key, value); }

}  // namespace varnel
