#pragma once

#include "python/ref.hpp"
#include "schema/reader_config.hpp"

#include <new>

namespace corvane::py {

// The instance layout of ReaderConfig: the record lives in raw storage so
// the struct stays standard-layout for the interpreter's offset tables; it is
// built by placement new on creation and destroyed in dealloc.
struct ReaderConfigObject {
    PyObject_HEAD PyObject *dict;
    alignas(ReaderConfig) unsigned char storage[sizeof(ReaderConfig)];

    ReaderConfig &record() { return *std::launder(reinterpret_cast<ReaderConfig *>(storage)); }
};

inline ReaderConfigObject *as_reader(PyObject *object) {
    return reinterpret_cast<ReaderConfigObject *>(object);
}

// The methods of ReaderConfig (reader_config_methods.cpp) and its keyword
// constructor (reader_config_new.cpp), as installed in the type.
PyObject *dict_without_optionals(PyObject *self, PyObject *unused);
PyObject *validate_method(PyObject *self, PyObject *unused);
PyObject *add_to_manifest_yaml_method(PyObject *self, PyObject *const *args, Py_ssize_t nargsf,
                                      PyObject *kwnames);
PyObject *copy_method(PyObject *self, PyObject *unused);
PyObject *deepcopy_method(PyObject *self, PyObject *memo);
PyObject *reduce_method(PyObject *self, PyObject *unused);
PyObject *construct_reader_config(PyTypeObject *type, PyObject *args, PyObject *kwargs);

} // namespace corvane::py
