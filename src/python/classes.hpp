#pragma once

#include "python/ref.hpp"
#include "schema/reader_config.hpp"

#include <span>

namespace corvane::py {

// The class objects, created on first use and kept for the life of the
// process. Null with an exception set if creation fails.
PyTypeObject *reader_config_type();
PyTypeObject *app_config_type();

// A new ReaderConfig instance owning `record`.
Ref wrap_reader_config(ReaderConfig record);

// The record of a ReaderConfig receiver, or null with the receiver TypeError set.
const ReaderConfig *receiver_record(PyObject *self);

// The private module-level function that unpickling calls to rebuild a
// ReaderConfig; created once and kept. Null with an error set on failure.
PyObject *reader_config_from_state_function();

// The module's public functions (read_corvane_readers_config,
// remove_corvane_readers_config, read_corvane_readers), in the order they
// are added to it.
std::span<PyMethodDef> manifest_functions();

// The function object of `definition`, bound to `module`.
Ref bind_function(PyObject *module, PyMethodDef &definition);

// Sets the private helpers of the corvane-config command on `module`
// (underscore names, not in __all__). False with an exception set on failure.
bool add_check_functions(PyObject *module);

// Sets the private hooks of the YAML fast path (_yaml_fast_path, _yaml_events)
// on `module`. False with an exception set on failure.
bool add_fast_path_probes(PyObject *module);

} // namespace corvane::py
