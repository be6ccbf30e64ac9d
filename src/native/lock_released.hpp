// Releases the interpreter lock for the lifetime of a scope, also when the scope is left by an
// exception (a native step that runs out of memory): Py_BEGIN_ALLOW_THREADS would leave the thread
// without the lock then. Where the calling thread does not hold the lock (a consumer's worker
// thread), it is left as it is.
#pragma once

#include "ref.hpp"

namespace varnel {

class LockReleased {
public:
    // PyGILState_Check answers yes for every thread once subinterpreters exist; an attached
    // thread state is what holding the lock means.
    LockReleased() noexcept
        : saved_(PyGILState_Check() && PyThreadState_GetUnchecked() != nullptr ? PyEval_SaveThread() : nullptr) {}
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    ~LockReleased() {
        if (saved_ != nullptr) PyEval_RestoreThread(saved_);
    }

private:
    PyThreadState* saved_;
};

}  // namespace varnel
