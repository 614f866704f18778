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

// The instance's own attribute dictionary when it holds anything, else null
// (borrowed).
inline PyObject *instance_attributes(PyObject *self) {
    PyObject *dict = as_reader(self)->dict;
    return dict != nullptr && PyDict_Size(dict) > 0 ? dict : nullptr;
}

// The methods and slots of ReaderConfig, as installed in the type: the keyword
// constructor with the type (reader_config_type.cpp); dict_without_optionals,
// validate and add_to_manifest_yaml (reader_config_methods.cpp); repr,
// equality, hash, copy, pickling and __replace__ (reader_config_value.cpp).
PyObject *dict_without_optionals(PyObject *self, PyObject *unused);
PyObject *validate_method(PyObject *self, PyObject *unused);
PyObject *add_to_manifest_yaml_method(PyObject *self, PyObject *const *args, Py_ssize_t nargsf,
                                      PyObject *kwnames);
PyObject *copy_method(PyObject *self, PyObject *unused);
PyObject *deepcopy_method(PyObject *self, PyObject *memo);
PyObject *reduce_method(PyObject *self, PyObject *unused);
PyObject *replace_method(PyObject *self, PyObject *const *args, Py_ssize_t nargsf,
                         PyObject *kwnames);
PyObject *construct_reader_config(PyTypeObject *type, PyObject *args, PyObject *kwargs);
PyObject *reader_repr(PyObject *self);
PyObject *reader_richcompare(PyObject *self, PyObject *other, int op);
Py_hash_t reader_hash(PyObject *self);

} // namespace corvane::py
