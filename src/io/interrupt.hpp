#pragma once

#include "errors/config_error.hpp"

#include <chrono>

namespace corvane::io {

// Asked now and then while a call waits on something outside the process
// (the writers' lock, a pipe with nothing to read yet). True means: stop
// waiting, the caller wants the call to end. The core does not know what is
// checked; the Python layer answers whether a signal handler has raised.
class InterruptCheck {
  public:
    using Function = bool (*)(void *context);

    InterruptCheck() = default; // never interrupts
    InterruptCheck(Function check, void *context) : check_(check), context_(context) {}

    bool operator()() const { return check_ != nullptr && check_(context_); }

  private:
    Function check_ = nullptr;
    void *context_ = nullptr;
};

// How often a wait asks: often enough that Ctrl-C acts at once, seldom
// enough that asking costs the waiting thread nothing worth measuring.
inline constexpr std::chrono::milliseconds kInterruptInterval{5};

// The error an operation ends with when its wait was interrupted. It is never
// shown: whoever interrupted has the reason to report.
[[gnu::cold]] inline ConfigError interrupted_error() {
    return ConfigError(ErrorKind::Interrupted, "interrupted");
}

} // namespace corvane::io
