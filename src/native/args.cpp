#include "args.hpp"

#include <cstring>

namespace varnel {
namespace {

PyObject* raise_count_error(const char* function, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function, "exactly", Py_ssize_t{1}, "", given);
    return nullptr;
}

bool keyword_is(PyObject* keyword, const char* expected) {
    return PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, expected) == 0;
}

}  // namespace

PyObject* parse_one_argument(const ArgumentName& name, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > 1) return raise_count_error(name.function, nargs);
    PyObject* value = nargs == 1 ? args[0] : nullptr;
    if (value == nullptr) {
        // Only the argument's own keyword can stand in for the missing positional one.
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (keyword_is(PyTuple_GET_ITEM(kwnames, i), name.keyword)) value = args[nargs + i];
        }
        if (value == nullptr) return raise_count_error(name.function, 0);
    }
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (!keyword_is(keyword, name.keyword)) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name.function,
                         keyword);
            return nullptr;
        }
        if (nargs == 1) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         name.function, keyword);
            return nullptr;
        }
    }
    return value;
}

PyObject* parse_bytes_or_none(const ArgumentName& name, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    PyObject* value = parse_one_argument(name, args, nargs, kwnames);
    if (value == nullptr) return nullptr;
    if (value != Py_None && !PyBytes_CheckExact(value)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     name.keyword, "bytes", Py_TYPE(value)->tp_name);
        return nullptr;
    }
    return value;
}

bool parse_no_arguments(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", function);
        return false;
    }
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", function, nargs);
        return false;
    }
    return true;
}

const char* bytes_argument_as_name(PyObject* argument) {
    if (argument == Py_None) {
        PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
        return nullptr;
    }
    const char* text = PyBytes_AS_STRING(argument);
    // libpcap would silently open the shorter name before the NUL.
    if (std::strlen(text) != static_cast<size_t>(PyBytes_GET_SIZE(argument))) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return nullptr;
    }
    return text;
}

}  // namespace varnel
