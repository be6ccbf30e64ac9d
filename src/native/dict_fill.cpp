// Filling a fresh template copy in place. This file alone sees the interpreter's internal dict
// layout, and the templates check it at start-up before relying on it.
#define Py_BUILD_CORE_MODULE 1
#include <Python.h>
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"  // in the interpreter's own inline functions
#include <internal/pycore_dict.h>
#pragma GCC diagnostic pop

#include "dict_template.hpp"

#include <cstddef>

namespace varnel {

static_assert(sizeof(PyDictUnicodeEntry) == 2 * sizeof(PyObject*) &&
                  offsetof(PyDictUnicodeEntry, me_value) == sizeof(PyObject*),
              "value slots are read with a stride of two pointers");

PyObject** DictTemplate::value_slots(PyObject* copy) noexcept {
    return &DK_UNICODE_ENTRIES(reinterpret_cast<PyDictObject*>(copy)->ma_keys)[0].me_value;
}

bool DictTemplate::copies_fill_in_place(PyObject* original, PyObject* copy,
                                       std::span<PyObject* const> keys) noexcept {
#if defined(Py_GIL_DISABLED) || defined(VARNEL_DICT_FILL_FALLBACK)
    // The fallback (each value through PyDict_SetItem) is forced by a build option so that it
    // can be tested as a whole.
    (void)original;
    (void)copy;
    (void)keys;
    return false;
#else
    auto* dict = reinterpret_cast<PyDictObject*>(copy);
    PyDictKeysObject* table = dict->ma_keys;
    // A copy sharing the original's keys table would write its values into the template's.
    bool owns_its_table = table != reinterpret_cast<PyDictObject*>(original)->ma_keys;
    if (!PyDict_CheckExact(copy) || !owns_its_table || dict->ma_values != nullptr ||
        table->dk_kind != DICT_KEYS_UNICODE || table->dk_nentries != static_cast<Py_ssize_t>(keys.size())) {
        return false;
    }
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(table);
    for (size_t i = 0; i < keys.size(); ++i) {
        if (entries[i].me_key != keys[i] || entries[i].me_value != Py_None) return false;
    }
    return true;
#endif
}

}  // namespace varnel
