#include "python/args.hpp"

#include "errors/messages.hpp"

#include <string>
#include <vector>

namespace corvane::py {

namespace {

void raise_type_error(const std::string &message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

std::string quoted(std::string_view name) {
    std::string out = "'";
    out += name;
    out += '\'';
    return out;
}

void raise_too_many_positional(const Parameters &parameters, Py_ssize_t given) {
    std::string message(parameters.full_name);
    if (parameters.required == parameters.positional())
        message += " takes " + std::to_string(parameters.positional());
    else
        message += " takes from " + std::to_string(parameters.required) + " to " +
                   std::to_string(parameters.positional());
    message +=
        parameters.positional() == 1 ? " positional argument but " : " positional arguments but ";
    message += std::to_string(given) + (given == 1 ? " was given" : " were given");
    raise_type_error(message);
}

void raise_missing(const Parameters &parameters, std::span<PyObject *> out) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < parameters.required; ++i)
        if (out[i] == nullptr)
            missing.push_back(parameters.names[i]);
    std::string message(parameters.full_name);
    message += " missing " + std::to_string(missing.size()) + " required positional argument";
    if (missing.size() > 1)
        message += 's';
    message += ": ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0)
            message += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        message += quoted(missing[i]);
    }
    raise_type_error(message);
}

void raise_keyword_error(std::string_view full_name, const char *what, PyObject *keyword) {
    Ref name = Ref::borrow(keyword);
    PyErr_Format(PyExc_TypeError, "%.*s %s '%U'", static_cast<int>(full_name.size()),
                 full_name.data(), what, name.get());
}

// Which parameter a keyword names, if any. A keyword that cannot be encoded
// names none.
std::optional<std::size_t> parameter_index(const Parameters &parameters, PyObject *keyword) {
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::string_view name(text, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < parameters.names.size(); ++i)
        if (parameters.names[i] == name)
            return i;
    return std::nullopt;
}

} // namespace

bool bind_arguments(const Parameters &parameters, PyObject *const *args, Py_ssize_t nargsf,
                    PyObject *kwnames, std::span<PyObject *> out) {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (static_cast<std::size_t>(positional) > parameters.positional()) {
        raise_too_many_positional(parameters, positional);
        return false;
    }
    for (auto &slot : out)
        slot = nullptr;
    for (Py_ssize_t i = 0; i < positional; ++i)
        out[static_cast<std::size_t>(i)] = args[i];

    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject *keyword = PyTuple_GetItem(kwnames, i);
        auto index = parameter_index(parameters, keyword);
        if (!index) {
            raise_keyword_error(parameters.full_name, messages::kUnexpectedKeyword, keyword);
            return false;
        }
        if (out[*index] != nullptr) {
            raise_keyword_error(parameters.full_name, messages::kRepeatedArgument, keyword);
            return false;
        }
        out[*index] = args[positional + i];
    }

    for (std::size_t i = 0; i < parameters.required; ++i) {
        if (out[i] == nullptr) {
            raise_missing(parameters, out);
            return false;
        }
    }
    return true;
}

void raise_unexpected_keyword(std::string_view full_name, PyObject *keyword) {
    raise_keyword_error(full_name, messages::kUnexpectedKeyword, keyword);
}

bool refuse_positional(std::string_view full_name, Py_ssize_t count) {
    if (count == 0)
        return true;
    Parameters none{full_name, {}, 0};
    raise_too_many_positional(none, count);
    return false;
}

std::string type_name_of(PyObject *object) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
    Py_ssize_t size = 0;
    const char *text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return messages::kUnknownTypeName;
    }
    return std::string(text, static_cast<std::size_t>(size));
}

void raise_conversion_error(PyObject *value, std::string_view target) {
    std::string message = quoted(type_name_of(value));
    message += messages::kCannotConvert;
    message += quoted(target);
    raise_type_error(message);
}

std::optional<std::string_view> text_value(PyObject *value) {
    if (!PyUnicode_Check(value)) {
        raise_conversion_error(value, messages::kTextTarget);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr)
        return std::nullopt;
    return std::string_view(text, static_cast<std::size_t>(size));
}

std::optional<std::string_view> text_argument(PyObject *value, std::string_view name) {
    auto text = text_value(value);
    if (text || !PyErr_ExceptionMatches(PyExc_TypeError))
        return text;
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    Ref cause = Ref::steal(PyException_GetCause(raised.get()));
    PyErr_Format(PyExc_TypeError, "argument '%.*s': %S", static_cast<int>(name.size()), name.data(),
                 raised.get());
    if (cause) {
        Ref remapped = Ref::steal(PyErr_GetRaisedException());
        PyException_SetCause(remapped.get(), cause.release());
        PyErr_SetRaisedException(remapped.release());
    }
    return std::nullopt;
}

std::optional<bool> bool_argument(PyObject *value, std::string_view name) {
    if (PyBool_Check(value))
        return value == Py_True;
    const std::string type = type_name_of(value);
    PyErr_Format(PyExc_TypeError, "argument '%.*s': '%s'%s'%s'", static_cast<int>(name.size()),
                 name.data(), type.c_str(), messages::kCannotConvert, messages::kBoolTarget);
    return std::nullopt;
}

std::optional<std::string> path_argument(PyObject *value, std::string_view name) {
    Ref path = Ref::borrow(value);
    if (!PyUnicode_Check(value) && !PyBytes_Check(value)) {
        Ref converted = Ref::steal(PyOS_FSPath(value));
        if (converted && PyUnicode_Check(converted.get()))
            path = std::move(converted);
        else if (!converted && !PyErr_ExceptionMatches(PyExc_TypeError))
            return std::nullopt;
        // Otherwise (not path-like, or a path-like that gives no str) the
        // object itself meets the argument error below.
        PyErr_Clear();
    }
    if (!PyUnicode_Check(path.get())) {
        static_cast<void>(text_argument(path.get(), name)); // raises the argument's TypeError
        return std::nullopt;
    }
    // As open() encodes a file name: lone surrogates U+DC80..U+DCFF stand for
    // the bytes that are not UTF-8 (os.fsencode), other ones raise the
    // interpreter's UnicodeEncodeError.
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
    if (!encoded)
        return std::nullopt;
    char *bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &size) < 0)
        return std::nullopt;
    return std::string(bytes, static_cast<std::size_t>(size));
}

} // namespace corvane::py
