#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <utility>

namespace corvane::py {

// The one owning reference to a Python object. Null means "no object" (and,
// coming back from the C API, usually "an exception is set").
class Ref {
  public:
    Ref() = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : object_(other.release()) {}
    Ref &operator=(Ref &&other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a new reference (as returned by most C API calls).
    static Ref steal(PyObject *object) { return Ref(object); }
    // Adds a reference to an object owned elsewhere.
    static Ref borrow(PyObject *object) {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject *get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Gives up ownership, e.g. to return the object to the interpreter.
    [[nodiscard]] PyObject *release() { return std::exchange(object_, nullptr); }
    void swap(Ref &other) noexcept { std::swap(object_, other.object_); }

  private:
    explicit Ref(PyObject *object) : object_(object) {}
    PyObject *object_ = nullptr;
};

} // namespace corvane::py
