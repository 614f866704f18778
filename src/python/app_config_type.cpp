// The AppConfig class: a bare type that gives the server record a name in
// Python. Python can neither create nor receive instances.
#include "errors/messages.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"

namespace corvane::py {

namespace {

PyObject *no_constructor(PyTypeObject *, PyObject *, PyObject *) {
    PyErr_SetString(PyExc_TypeError, messages::kNoConstructor);
    return nullptr;
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char *>("The app configuration")},
    {Py_tp_new, reinterpret_cast<void *>(boundary<no_constructor>)},
    {0, nullptr},
};

// No instance can be made, so instances hold nothing beyond the object header.
PyType_Spec type_spec{"builtins.AppConfig", 0, 0, Py_TPFLAGS_DEFAULT, slots};

} // namespace

PyTypeObject *app_config_type() {
    static PyTypeObject *type = nullptr;
    if (type == nullptr)
        type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&type_spec));
    return type;
}

} // namespace corvane::py
