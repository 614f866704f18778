// The ReaderConfig class: instance lifecycle, the keyword constructor, the
// twenty read-only properties and the type object itself.
#include "errors/messages.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/reader_fields.hpp"
#include "python/reader_instance.hpp"

#include <array>
#include <cstddef>

namespace corvane::py {

namespace {

// The settings a caller can give by keyword, and whether None leaves the
// setting absent or fails its conversion.
struct Keyword {
    const ReaderField *field;
    NoneGiven none;
};

constexpr std::array<Keyword, 8> kKeywords{{
    {&reader_field(&ReaderConfig::model_name), NoneGiven::Refused},
    {&reader_field(&ReaderConfig::device), NoneGiven::Refused},
    {&reader_field(&ReaderConfig::consumer_group), NoneGiven::Refused},
    {&reader_field(&ReaderConfig::log_level), NoneGiven::Refused},
    {&reader_field(&ReaderConfig::cuda_visible_devices), NoneGiven::Absent},
    {&reader_field(&ReaderConfig::max_batch_size), NoneGiven::Absent},
    {&reader_field(&ReaderConfig::tensor_parallel), NoneGiven::Absent},
    {&reader_field(&ReaderConfig::max_sequence_length), NoneGiven::Absent},
}};

const Keyword *keyword_named(std::string_view name) {
    for (const auto &keyword : kKeywords)
        if (keyword.field->name == name)
            return &keyword;
    return nullptr;
}

} // namespace

PyObject *construct_reader_config(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    if (!refuse_positional("ReaderConfig.__new__()", PyTuple_Size(args)))
        return nullptr;

    ReaderConfig record;
    // No keywords (or an unpacked empty dict): the empty record, unchecked.
    if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
        Py_ssize_t position = 0;
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            Py_ssize_t size = 0;
            const char *name = PyUnicode_AsUTF8AndSize(key, &size);
            if (name == nullptr) {
                PyErr_Clear(); // not encodable, so not one of ours
                continue;
            }
            const Keyword *keyword = keyword_named({name, static_cast<std::size_t>(size)});
            if (keyword != nullptr && !store_field(record, *keyword->field, value, keyword->none))
                return nullptr;
        }
        if (record.model_name.empty()) {
            PyErr_SetString(PyExc_TypeError, messages::kEmptyModelName);
            return nullptr;
        }
        if (record.device != "cpu" && record.device != "cuda") {
            PyErr_SetString(PyExc_TypeError, messages::kConstructorDevice);
            return nullptr;
        }
    }
    return wrap_reader_config(std::move(record)).release();
}

namespace {

void dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    PyTypeObject *type = Py_TYPE(self);
    ReaderConfigObject *object = as_reader(self);
    Py_CLEAR(object->dict);
    object->record().~ReaderConfig();
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type); // instances of heap types own a reference to their type
}

int traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(as_reader(self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int clear(PyObject *self) {
    Py_CLEAR(as_reader(self)->dict);
    return 0;
}

// The one getter behind every property: the table entry of its field comes
// in through the closure.
PyObject *get_field(PyObject *self, void *closure) {
    const ReaderConfig *record = receiver_record(self);
    if (record == nullptr)
        return nullptr;
    Ref keep = Ref::borrow(self);
    const auto &field = *static_cast<const ReaderField *>(closure);
    Ref value = value_object(field_value(*record, field));
    if (!value)
        fault_from_python_error();
    return value.release();
}

// The twenty properties in declaration order, then __dict__ (which a type
// made by PyType_FromSpec does not get on its own), then the end marker.
using GetSetTable = std::array<PyGetSetDef, kReaderFields.size() + 2>;

GetSetTable make_getsets() {
    GetSetTable table{};
    for (std::size_t i = 0; i < kReaderFields.size(); ++i) {
        const ReaderField &field = kReaderFields[i];
        // Names come from string literals, so data() is NUL-terminated.
        table[i] = PyGetSetDef{field.name.data(), boundary<get_field>, nullptr, "",
                               const_cast<ReaderField *>(&field)};
    }
    table[kReaderFields.size()] =
        PyGetSetDef{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr};
    return table;
}

GetSetTable getsets = make_getsets();

PyMethodDef methods[] = {
    {"dict_without_optionals", boundary<dict_without_optionals>, METH_NOARGS,
     "dict_without_optionals($self)\n--\n\n"},
    {"validate", boundary<validate_method>, METH_NOARGS, "validate($self)\n--\n\n"},
    {"add_to_manifest_yaml",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(boundary<add_to_manifest_yaml_method>)),
     METH_FASTCALL | METH_KEYWORDS,
     "add_to_manifest_yaml($self, path, reader_id, *, keep_layout=False)\n--\n\n"},
    // Copies, pickles and replacements keep every setting they do not change.
    {"__copy__", boundary<copy_method>, METH_NOARGS, nullptr},
    {"__deepcopy__", boundary<deepcopy_method>, METH_O, nullptr},
    {"__reduce__", boundary<reduce_method>, METH_NOARGS, nullptr},
    {"__replace__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary<replace_method>)),
     METH_FASTCALL | METH_KEYWORDS,
     "__replace__($self, /, **changes)\n--\n\n"
     "A new ReaderConfig with the named settings changed (None unsets an optional one)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(ReaderConfigObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char *>("ReaderConfig(**kwargs)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void *>(boundary<construct_reader_config>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(boundary<reader_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void *>(boundary<reader_richcompare>)},
    {Py_tp_hash, reinterpret_cast<void *>(boundary<reader_hash>)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(clear)},
    {Py_tp_getset, getsets.data()},
    {Py_tp_methods, methods},
    {Py_tp_members, members},
    {0, nullptr},
};

PyType_Spec type_spec{"builtins.ReaderConfig", sizeof(ReaderConfigObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};

PyTypeObject *create_type() {
    Ref type = Ref::steal(PyType_FromSpec(&type_spec));
    if (!type)
        return nullptr;
    // A PyType_FromSpec type whose docstring is only a signature reports an empty
    // __doc__; the class has no documentation, so it reads None.
    if (PyObject_SetAttrString(type.get(), "__doc__", Py_None) < 0)
        return nullptr;
    return reinterpret_cast<PyTypeObject *>(type.release());
}

} // namespace

PyTypeObject *reader_config_type() {
    static PyTypeObject *type = nullptr;
    if (type == nullptr)
        type = create_type();
    return type;
}

Ref wrap_reader_config(ReaderConfig record) {
    PyTypeObject *type = reader_config_type();
    if (type == nullptr)
        return {};
    Ref object =
        Ref::steal(reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0));
    if (!object)
        return {};
    new (as_reader(object.get())->storage) ReaderConfig(std::move(record));
    return object;
}

const ReaderConfig *receiver_record(PyObject *self) {
    PyTypeObject *type = reader_config_type();
    if (type == nullptr)
        fault_from_python_error();
    if (!PyType_IsSubtype(Py_TYPE(self), type)) {
        raise_conversion_error(self, messages::kReaderTarget);
        return nullptr;
    }
    return &as_reader(self)->record();
}

} // namespace corvane::py
