#include "python/interpreter_lock.hpp"

namespace corvane::py {

bool InterpreterLockReleased::handlers_raised(void *self) {
    auto &released = *static_cast<InterpreterLockReleased *>(self);
    // Marked as taken before the lock is taken: if the thread is ended in
    // PyEval_RestoreThread, the unwind must not take it a second time.
    PyEval_RestoreThread(std::exchange(released.thread_, nullptr));
    bool raised = PyErr_CheckSignals() != 0;
    released.thread_ = PyEval_SaveThread();
    return raised;
}

} // namespace corvane::py
