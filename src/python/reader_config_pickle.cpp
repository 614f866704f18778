// Pickling ReaderConfig: every setting, absent ones included, travels as a
// tuple in declaration order and comes back through a module-level function
// (the class itself reports the module "builtins", where pickle cannot find
// it). The instance's own attributes travel as pickle's usual object state.
#include "errors/messages.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/reader_config_object.hpp"
#include "python/reader_fields.hpp"

#include <string>

namespace corvane::py {

namespace {

constexpr auto kSettingCount = static_cast<Py_ssize_t>(kReaderFields.size());

// Adds the setting's name to a conversion error of the state, keeping its
// class; other errors (an encoding error, say) pass unchanged.
void name_the_setting(std::string_view name) {
    PyObject *type = PyErr_Occurred();
    if (type != PyExc_TypeError && type != PyExc_OverflowError)
        return;
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    PyErr_Format(type, messages::kStateSetting, static_cast<int>(name.size()), name.data(),
                 raised.get());
}

// A fresh record from the state; the record is complete before any object
// owns it, so a bad state leaves nothing behind.
PyObject *from_state(PyObject *, PyObject *state) {
    if (!PyTuple_Check(state)) {
        std::string message = messages::kStateNotTuple + type_name_of(state) + "'";
        PyErr_SetString(PyExc_TypeError, message.c_str());
        return nullptr;
    }
    if (PyTuple_Size(state) != kSettingCount) {
        PyErr_Format(PyExc_ValueError, messages::kStateLength, kSettingCount, PyTuple_Size(state));
        return nullptr;
    }
    ReaderConfig record;
    for (Py_ssize_t i = 0; i < kSettingCount; ++i) {
        const ReaderField &field = kReaderFields[static_cast<std::size_t>(i)];
        if (!store_field(record, field, PyTuple_GetItem(state, i), NoneGiven::Absent)) {
            name_the_setting(field.name);
            return nullptr;
        }
    }
    return wrap_reader_config(std::move(record)).release();
}

PyMethodDef from_state_definition{
    "_reader_config_from_state",
    boundary<from_state>,
    METH_O,
    "_reader_config_from_state(state, /)\n--\n\n"
    "Rebuild a ReaderConfig from the state that pickling it gives.",
};

} // namespace

PyObject *reader_config_from_state_function() {
    static PyObject *function = nullptr; // kept for the life of the process
    if (function == nullptr) {
        Ref module_name = Ref::steal(PyUnicode_FromString("corvane_config"));
        if (!module_name)
            return nullptr;
        function = PyCMethod_New(&from_state_definition, nullptr, module_name.get(), nullptr);
    }
    return function;
}

PyObject *reduce_method(PyObject *self, PyObject *) {
    const ReaderConfig *record = receiver_record(self);
    if (record == nullptr)
        return nullptr;
    PyObject *rebuild = reader_config_from_state_function();
    if (rebuild == nullptr)
        return nullptr;
    Ref state = Ref::steal(PyTuple_New(kSettingCount));
    if (!state)
        return nullptr;
    for (Py_ssize_t i = 0; i < kSettingCount; ++i) {
        Ref value = value_object(field_value(*record, kReaderFields[static_cast<std::size_t>(i)]));
        if (!value)
            return nullptr;
        PyTuple_SetItem(state.get(), i, value.release()); // a new tuple: cannot fail
    }
    Ref arguments = Ref::steal(PyTuple_Pack(1, state.get()));
    if (!arguments)
        return nullptr;
    if (PyObject *attributes = instance_attributes(self))
        return PyTuple_Pack(3, rebuild, arguments.get(), attributes);
    return PyTuple_Pack(2, rebuild, arguments.get());
}

} // namespace corvane::py
