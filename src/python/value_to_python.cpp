#include "python/value_to_python.hpp"

#include "errors/messages.hpp"
#include "python/boundary.hpp"

#include <string>

namespace corvane::py {

namespace {

Ref text(std::string_view value) {
    return Ref::steal(
        PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

void raise_type_error(const std::string &message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

} // namespace

bool store_node(PyObject *dict, PyObject *key, std::string_view key_text, const Value &node) {
    Ref python = std::visit(
        [&](const auto &content) -> Ref {
            using C = std::decay_t<decltype(content)>;
            if constexpr (std::is_same_v<C, Value::Null>) {
                return {};
            } else if constexpr (std::is_same_v<C, bool>) {
                return Ref::borrow(content ? Py_True : Py_False);
            } else if constexpr (std::is_same_v<C, Value::Number>) {
                if (const auto *unsigned_value = std::get_if<std::uint64_t>(&content))
                    return Ref::steal(PyLong_FromUnsignedLongLong(*unsigned_value));
                raise_type_error(messages::kInvalidNumberType + std::string(key_text));
                return {};
            } else if constexpr (std::is_same_v<C, std::string>) {
                return text(content);
            } else {
                raise_type_error(messages::kInvalidValue + to_compact_json(node) +
                                 messages::kForKey + std::string(key_text));
                return {};
            }
        },
        node.data());
    if (!python)
        return PyErr_Occurred() == nullptr; // a null node stores nothing
    return PyDict_SetItem(dict, key, python.get()) == 0;
}

} // namespace corvane::py
