#pragma once

#include "errors/config_error.hpp"
#include "python/ref.hpp"

#include <cxxabi.h>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>

namespace corvane::py {

// A fault that ends the current call: something the code treats as
// impossible went wrong. The boundary raises it as PanicException.
class InternalFault : public std::exception {
  public:
    explicit InternalFault(std::string message) : message_(std::move(message)) {}
    const char *what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

// Raises the module error as the built-in Exception with its display text;
// for an interrupted wait, leaves the exception that interrupted it. Returns
// null so callers can `return raise(error);`.
std::nullptr_t raise(const ConfigError &error);

// Turns the exception the interpreter has just set into an InternalFault
// carrying its rendered text. For results that the code treats as certain.
[[noreturn]] void fault_from_python_error();

// Shorthand for the calls whose failure is a fault: returns the new reference
// or throws.
inline Ref expect(PyObject *created) {
    if (created == nullptr)
        fault_from_python_error();
    return Ref::steal(created);
}

// Raises PanicException (message empty: a fixed text). Aborts the process
// with "uncaught panic at ffi boundary" if that itself fails.
void raise_panic(std::string_view message) noexcept;

// Runs one entry from the interpreter: no C++ exception gets past it. Only
// the forced unwind that ends a thread taking the interpreter lock back
// during finalization passes (see interpreter_lock.hpp), which is why this
// and the slot functions below are not noexcept (nor is this null-checked by
// UBSan, see without_interpreter_lock).
template <class Fn> [[gnu::no_sanitize("null"), gnu::noinline]] auto guarded(Fn &&fn) {
    using R = decltype(fn());
    static_assert(std::is_pointer_v<R> || std::is_integral_v<R>); // int and Py_hash_t slots
    try {
        return fn();
    } catch (const abi::__forced_unwind &) {
        throw;
    } catch (const std::exception &fault) {
        raise_panic(fault.what());
    } catch (...) {
        raise_panic({});
    }
    if constexpr (std::is_pointer_v<R>)
        return R{nullptr};
    else
        return R{-1};
}

// `boundary<f>` is a C slot function with the signature of `f` that runs `f`
// through `guarded`. Every function, slot, method and getter handed to the
// interpreter is taken through it.
template <auto Fn> struct Boundary;
template <class R, class... Args, R (*Fn)(Args...)> struct Boundary<Fn> {
    static R call(Args... args) {
        return guarded([&]() -> R { return Fn(args...); });
    }
};
template <auto Fn> inline constexpr auto boundary = &Boundary<Fn>::call;

} // namespace corvane::py
