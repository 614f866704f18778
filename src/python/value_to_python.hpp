#pragma once

#include "python/ref.hpp"
#include "schema/value_tree.hpp"

#include <string_view>

namespace corvane::py {

// Stores the Python form of `node` in `dict` under `key`: null nodes add
// nothing, booleans, unsigned numbers and strings become bool, int and str.
// Other numbers, lists and objects raise TypeError. False with an error set.
bool store_node(PyObject *dict, std::string_view key, const Value &node);

} // namespace corvane::py
