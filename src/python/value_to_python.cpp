#include "python/value_to_python.hpp"

#include <string>

namespace corvane::py {

bool store_node(PyObject *dict, PyObject *key, const Value &node) {
    Ref python = std::visit(
        [](const auto &content) -> Ref {
            using C = std::decay_t<decltype(content)>;
            if constexpr (std::is_same_v<C, Value::Null>)
                return {};
            else if constexpr (std::is_same_v<C, std::uint64_t>)
                return Ref::steal(PyLong_FromUnsignedLongLong(content));
            else
                return Ref::steal(PyUnicode_FromStringAndSize(
                    content.data(), static_cast<Py_ssize_t>(content.size())));
        },
        node.data());
    if (!python)
        return PyErr_Occurred() == nullptr; // a null node stores nothing
    return PyDict_SetItem(dict, key, python.get()) == 0;
}

} // namespace corvane::py
