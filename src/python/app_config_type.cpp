// The AppConfig class: a bare type that gives the server record a name in
// Python. Python can neither create nor receive instances.
#include "errors/messages.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "schema/app_config.hpp"

#include <new>

namespace corvane::py {

namespace {

struct AppConfigObject {
    PyObject_HEAD alignas(AppConfig) unsigned char storage[sizeof(AppConfig)];
};

PyObject *no_constructor(PyTypeObject *, PyObject *, PyObject *) {
    PyErr_SetString(PyExc_TypeError, messages::kNoConstructor);
    return nullptr;
}

// Instances never exist, but should one be made it owns its record.
void dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    std::launder(reinterpret_cast<AppConfig *>(reinterpret_cast<AppConfigObject *>(self)->storage))
        ->~AppConfig();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char *>("The app configuration")},
    {Py_tp_new, reinterpret_cast<void *>(boundary<no_constructor>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
    {0, nullptr},
};

PyType_Spec type_spec{"builtins.AppConfig", sizeof(AppConfigObject), 0, Py_TPFLAGS_DEFAULT, slots};

} // namespace

PyTypeObject *app_config_type() {
    static PyTypeObject *type = nullptr;
    if (type == nullptr)
        type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&type_spec));
    return type;
}

} // namespace corvane::py
