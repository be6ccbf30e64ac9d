// Owning reference to an interpreter object, so that no error path leaks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>
#include <utility>

namespace varnel {

// Move-only owner of one strong reference (or of nothing).
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a new reference, as the C API returns it (null allowed).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference of our own to a borrowed one.
    static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference back to the C API (a return value, a stealing call).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset(PyObject* object = nullptr) noexcept { Py_XSETREF(object_, object); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Interns a key or constant once; the module keeps it for its whole life.
inline PyObject* intern(const char* text) noexcept { return PyUnicode_InternFromString(text); }

// A module's interned names: where each goes, and its text.
struct InternedName {
    PyObject** slot;
    const char* text;
};

// Interns every name into its slot; false with an exception set.
inline bool intern_all(std::span<const InternedName> names) noexcept {
    for (const InternedName& name : names) {
        *name.slot = intern(name.text);
        if (*name.slot == nullptr) return false;
    }
    return true;
}

}  // namespace varnel
