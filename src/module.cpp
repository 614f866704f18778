// The module's initialisation entry: interpreter binding, the single module
// object and the registration of its classes and function.
#include "errors/messages.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"

#include <atomic>
#include <cstdint>

namespace corvane::py {

namespace {

// The interpreter the module is bound to (-1: none yet). The types and the
// module object below are shared, so only one interpreter may use them.
std::atomic<std::int64_t> bound_interpreter{-1};
PyObject *module_object = nullptr;

PyModuleDef definition{
    PyModuleDef_HEAD_INIT,
    "corvane_config",
    "",
    0, // no per-module state; re-imports call the entry, which returns the same object
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool bind_interpreter() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, messages::kNoInterpreterError);
        return false;
    }
    std::int64_t expected = -1;
    if (!bound_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, messages::kSubInterpreter);
        return false;
    }
    return true;
}

// Appends the name to __all__ (created empty if missing), then sets it.
bool add(PyObject *module, const char *name, PyObject *value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0)
            return false;
    }
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0)
        return false;
    return PyObject_SetAttr(module, key.get(), value) == 0;
}

Ref create_module() {
    Ref module = Ref::steal(PyModule_Create2(&definition, PYTHON_API_VERSION));
    if (!module)
        return {};
    PyTypeObject *reader = reader_config_type();
    if (reader == nullptr ||
        !add(module.get(), "ReaderConfig", reinterpret_cast<PyObject *>(reader)))
        return {};
    PyTypeObject *app = app_config_type();
    if (app == nullptr || !add(module.get(), "AppConfig", reinterpret_cast<PyObject *>(app)))
        return {};
    for (PyMethodDef &definition : manifest_functions()) {
        Ref function = bind_function(module.get(), definition);
        if (!function || !add(module.get(), definition.ml_name, function.get()))
            return {};
    }
    // Private, so not in __all__: pickle finds it here under its own name.
    PyObject *from_state = reader_config_from_state_function();
    if (from_state == nullptr)
        return {};
    Ref name = Ref::steal(PyObject_GetAttrString(from_state, "__name__"));
    if (!name || PyObject_SetAttr(module.get(), name.get(), from_state) < 0)
        return {};
    if (!add_check_functions(module.get()))
        return {};
    if (!add_fast_path_probes(module.get()))
        return {};
    return module;
}

PyObject *initialise() {
    if (!bind_interpreter())
        return nullptr;
    if (module_object == nullptr) {
        Ref module = create_module();
        if (!module)
            return nullptr;
        module_object = module.release(); // kept for the life of the process
    }
    return Ref::borrow(module_object).release();
}

} // namespace

} // namespace corvane::py

PyMODINIT_FUNC PyInit_corvane_config() {
    return corvane::py::guarded(corvane::py::initialise);
}
