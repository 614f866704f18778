#include "python/interpreter_lock.hpp"

namespace corvane::py {

bool InterpreterLockReleased::handlers_raised(void *self) {
    auto &released = *static_cast<InterpreterLockReleased *>(self);
    PyEval_RestoreThread(released.thread_);
    bool raised = PyErr_CheckSignals() != 0;
    released.thread_ = PyEval_SaveThread();
    return raised;
}

} // namespace corvane::py
