#pragma once

#include "python/ref.hpp"
#include "schema/value_tree.hpp"

namespace corvane::py {

// Stores the Python form of `node` in `dict` under `key`: null nodes add
// nothing, unsigned numbers and strings become int and str. False with an
// error set.
bool store_node(PyObject *dict, PyObject *key, const Value &node);

} // namespace corvane::py
