#include "boundary.hpp"

#include <exception>

namespace varnel {

void raise_for_native_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_SystemError, "unexpected native error: %.200s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected native error");
    }
}

}  // namespace varnel
