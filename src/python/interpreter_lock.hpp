#pragma once

#include "io/interrupt.hpp"
#include "python/ref.hpp"

#include <cassert>
#include <cxxabi.h>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace corvane::py {

// Releases the interpreter lock for the life of the object, so that other
// Python threads run while this one works on C++ values alone. Nothing in the
// scope may touch a Python object or set a Python exception, except through
// interrupt_check(). Use it through without_interpreter_lock, which adds the
// rules below.
//
// On CPython 3.12 and 3.13 a thread that takes the lock back while the
// interpreter finalizes is ended with pthread_exit: a forced unwind
// (abi::__forced_unwind) comes out of PyEval_RestoreThread. It must pass
// every frame up to the thread's start: no catch may swallow it, no noexcept
// frame may stand in its way, and nothing on its way may drop a reference
// (the lock is not held and the interpreter is going away).
class InterpreterLockReleased {
  public:
    InterpreterLockReleased() noexcept : thread_(PyEval_SaveThread()) {}
    // without_interpreter_lock catches whatever the work throws and always
    // calls retake() before the object goes.
    ~InterpreterLockReleased() { assert(thread_ == nullptr && "retake() not called"); }
    InterpreterLockReleased(const InterpreterLockReleased &) = delete;
    InterpreterLockReleased &operator=(const InterpreterLockReleased &) = delete;

    // Takes the lock back; may end the thread (see above).
    void retake() { PyEval_RestoreThread(std::exchange(thread_, nullptr)); }

    // For the waits of the core: takes the lock back for a moment and runs
    // the signal handlers (the interpreter runs them on its main thread only;
    // elsewhere nothing is pending). True when a handler raised, for example
    // KeyboardInterrupt on Ctrl-C: that exception stays set, to be raised
    // when the call ends.
    io::InterruptCheck interrupt_check() { return {&handlers_raised, this}; }

  private:
    static bool handlers_raised(void *self);

    PyThreadState *thread_; // null while this thread holds the lock
};

// Runs `work(inputs, interrupt_check)` with the interpreter lock released and
// returns its result, which must hold no Python object.
//
// Ownership: while the lock is released, other threads run and may drop the
// last reference to anything this call was given (a functools.partial whose
// __setstate__ runs meanwhile frees the arguments it passed). So the work
// reads nothing but `inputs`, copies made with the lock held (texts, a
// record), and it may capture nothing: a lambda without captures. The copies
// need no lock to be freed, so no reference is dropped on any path out,
// also not by the forced unwind.
//
// The work's own C++ exceptions are caught while the lock is released and
// rethrown once it is held again: an unwind that took the lock back in a
// destructor could meet the forced unwind there, which ends in terminate.
//
// The forced unwind carries no C++ object: its handler binds a reference to
// none, which UBSan's null check would report (and it checks an inlined copy
// with the caller's settings, hence noinline).
template <class Inputs, class Work>
[[gnu::no_sanitize("null"), gnu::noinline]] auto without_interpreter_lock(const Inputs &inputs,
                                                                          Work work) {
    static_assert(std::is_empty_v<Work>, "the work reads its inputs only: no captures");
    using Result = decltype(work(inputs, std::declval<const io::InterruptCheck &>()));
    std::optional<Result> result;
    std::exception_ptr failure;
    InterpreterLockReleased released;
    try {
        result.emplace(work(inputs, released.interrupt_check()));
    } catch (const abi::__forced_unwind &) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    released.retake();
    if (failure)
        std::rethrow_exception(failure);
    return std::move(*result);
}

} // namespace corvane::py
