#pragma once

#include "io/interrupt.hpp"
#include "python/ref.hpp"

namespace corvane::py {

// Releases the interpreter lock for the life of the object, so that other
// Python threads run while this one works on C++ values alone. The lock is
// taken back when the object goes, also when a C++ exception leaves the
// scope, so no released state ever reaches the interpreter. Nothing in the
// scope may touch a Python object or set a Python exception, except through
// interrupt_check().
class InterpreterLockReleased {
  public:
    InterpreterLockReleased() noexcept : thread_(PyEval_SaveThread()) {}
    ~InterpreterLockReleased() { PyEval_RestoreThread(thread_); }
    InterpreterLockReleased(const InterpreterLockReleased &) = delete;
    InterpreterLockReleased &operator=(const InterpreterLockReleased &) = delete;

    // For the waits of the core: takes the lock back for a moment and runs
    // the signal handlers (the interpreter runs them on its main thread only;
    // elsewhere nothing is pending). True when a handler raised, for example
    // KeyboardInterrupt on Ctrl-C: that exception stays set, to be raised
    // when the call ends.
    io::InterruptCheck interrupt_check() { return {&handlers_raised, this}; }

  private:
    static bool handlers_raised(void *self);

    PyThreadState *thread_;
};

// Runs `work(interrupt_check)` with the interpreter lock released and
// returns its result (which must hold no Python object).
template <class Work> auto without_interpreter_lock(Work &&work) {
    InterpreterLockReleased released;
    return work(released.interrupt_check());
}

} // namespace corvane::py
