#include "python/boundary.hpp"

#include "errors/messages.hpp"

#include <cstdio>
#include <cstdlib>

namespace corvane::py {

namespace {

[[noreturn]] void abort_uncaught() {
    std::fputs(messages::kUncaughtPanic, stderr);
    std::fflush(stderr);
    std::abort();
}

// Created at the first fault and kept for the life of the process.
PyObject *panic_exception_type() {
    static PyObject *type = nullptr;
    if (type == nullptr)
        type = PyErr_NewExceptionWithDoc(
            "corvane_config.PanicException",
            "An internal fault of the corvane_config native code.\n\n"
            "Derived from BaseException, so `except Exception` does not catch it.",
            PyExc_BaseException, nullptr);
    return type;
}

Ref text_of(std::string_view text) {
    return Ref::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

} // namespace

std::nullptr_t raise(const ConfigError &error) {
    // An interrupted wait: what interrupted it (a signal handler's exception)
    // is already set and is the one raised.
    if (error.kind() == ErrorKind::Interrupted) {
        if (!PyErr_Occurred())
            throw InternalFault(messages::kInterruptedWithoutError);
        return nullptr;
    }
    // Bytes that are not UTF-8 come from a file name (see path_argument):
    // they go back to the lone surrogates the caller's str had.
    const std::string display = error.display();
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(
        display.data(), static_cast<Py_ssize_t>(display.size()), "surrogateescape"));
    if (!text)
        fault_from_python_error();
    PyErr_SetObject(PyExc_Exception, text.get());
    return nullptr;
}

void fault_from_python_error() {
    std::string message = messages::kApiCallFailed;
    PyGILState_STATE state = PyGILState_Ensure();
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (raised) {
        Ref rendered = Ref::steal(PyObject_Str(raised.get()));
        Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(raised.get())));
        Py_ssize_t size = 0;
        const char *name = type_name ? PyUnicode_AsUTF8AndSize(type_name.get(), &size) : nullptr;
        const char *text = rendered ? PyUnicode_AsUTF8AndSize(rendered.get(), &size) : nullptr;
        PyErr_Clear();
        if (name != nullptr) {
            message = name;
            if (text != nullptr && *text != '\0')
                (message += ": ") += text;
        }
    }
    PyGILState_Release(state);
    throw InternalFault(std::move(message));
}

void raise_panic(std::string_view message) noexcept {
    PyObject *type = panic_exception_type();
    if (type == nullptr)
        abort_uncaught();
    Ref text = text_of(message.empty() ? messages::kPanicWithoutMessage : message);
    if (!text)
        abort_uncaught();
    PyErr_SetObject(type, text.get());
}

} // namespace corvane::py
