// Where the interpreter calls into C++. A C++ exception must never cross back into the
// interpreter (it would end the process), so every function the interpreter can call — methods,
// getters, type slots, module initialisation — is entered through Guarded, which turns
// std::bad_alloc into MemoryError and any other exception into SystemError. The method, getter
// and slot tables are built only with the helpers below; tools/check_boundaries.py holds every
// table of the sources to that.
#pragma once

#include "ref.hpp"

#include <new>
#include <type_traits>

namespace varnel {

// Sets the interpreter exception for the C++ exception being handled. Call only inside a catch.
void raise_for_native_exception() noexcept;

template <class Result>
Result failure_value() noexcept {
    if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
    } else if constexpr (std::is_same_v<Result, int>) {
        return -1;
    }
}

template <auto Function>
struct Guarded;

template <class Result, class... Args, Result (*Function)(Args...)>
struct Guarded<Function> {
    static Result call(Args... args) noexcept {
        try {
            return Function(args...);
        } catch (...) {
            raise_for_native_exception();
            if constexpr (std::is_void_v<Result>) {
                PyErr_WriteUnraisable(nullptr);  // nothing to report the failure to
            } else {
                return failure_value<Result>();
            }
        }
    }
};

// A function pointer of any signature as the interpreter's tables store it.
template <class Function>
void (*erased(Function function))() {
    return reinterpret_cast<void (*)()>(function);
}

// A method taking the vectorcall layout (METH_FASTCALL | METH_KEYWORDS).
template <auto Function>
constexpr PyMethodDef method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(erased(&Guarded<Function>::call)), METH_FASTCALL | METH_KEYWORDS,
            doc};
}

// A method of another calling convention (METH_O, METH_NOARGS, METH_FASTCALL).
template <auto Function>
constexpr PyMethodDef method(const char* name, int flags, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(erased(&Guarded<Function>::call)), flags, doc};
}

template <auto Getter>
constexpr PyGetSetDef getter(const char* name, const char* doc) {
    return {name, &Guarded<Getter>::call, nullptr, doc, nullptr};
}

// A type slot holding a function.
template <auto Function>
PyType_Slot slot(int id) {
    return {id, reinterpret_cast<void*>(erased(&Guarded<Function>::call))};
}

// A type slot holding data (a doc string, a table) or one of the interpreter's own functions.
inline PyType_Slot data_slot(int id, const void* data) { return {id, const_cast<void*>(data)}; }

// Module initialisation through the same guard.
template <auto Init>
PyObject* guarded_init() noexcept {
    return Guarded<Init>::call();
}

}  // namespace varnel
