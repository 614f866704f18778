#pragma once

#include "python/ref.hpp"
#include "schema/value_tree.hpp"

#include <string_view>

namespace corvane::py {

// Stores the Python form of `node` in `dict` under `key` (whose text is
// `key_text`): null nodes add nothing, booleans, unsigned numbers and strings
// become bool, int and str. Other numbers, lists and objects raise TypeError.
// False with an error set.
bool store_node(PyObject *dict, PyObject *key, std::string_view key_text, const Value &node);

} // namespace corvane::py
