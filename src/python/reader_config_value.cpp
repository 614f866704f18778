// ReaderConfig as a value: repr, equality and hashing by its twenty settings
// (the instance's own attributes take no part in them); copy and deepcopy;
// pickling; __replace__.
//
// Pickling: every setting, absent ones included, travels as a tuple in
// declaration order and comes back through a module-level function (the
// class itself reports the module "builtins", where pickle cannot find it).
// The instance's own attributes travel as pickle's usual object state.
//
// __replace__ (copy.replace): a new reader with some settings changed. Any of
// the twenty settings may be named; values are converted as the keyword
// constructor converts them, and None makes an optional setting absent. Only
// type and range are checked, as when a manifest is read.
#include "errors/messages.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/reader_fields.hpp"
#include "python/reader_instance.hpp"

#include <algorithm>
#include <functional>
#include <string>

namespace corvane::py {

namespace {

// The setting whose value a repr never shows: logs must not leak the token.
constexpr std::string_view kMaskedSetting = "access_token";
static_assert(std::ranges::any_of(kReaderFields,
                                  [](const ReaderField &field) {
                                      return field.name == kMaskedSetting;
                                  }),
              "the masked setting must be one of the table's");

// Appends the interpreter's repr of a present value; false with an error set.
bool append_repr(std::string &out, const FieldValue &value) {
    if (const auto *number = std::get_if<std::uint64_t>(&value)) {
        out += std::to_string(*number); // what repr() of the int gives
        return true;
    }
    Ref object = value_object(value);
    Ref shown = object ? Ref::steal(PyObject_Repr(object.get())) : Ref();
    if (!shown)
        return false;
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(shown.get(), &size);
    if (text == nullptr)
        return false;
    out.append(text, static_cast<std::size_t>(size));
    return true;
}

bool same_settings(const ReaderConfig &a, const ReaderConfig &b) {
    return std::ranges::all_of(kReaderFields, [&](const ReaderField &field) {
        return field_value(a, field) == field_value(b, field);
    });
}

// The tuple hash of CPython (xxHash's round), over one lane per setting.
constexpr Py_uhash_t kPrime1 = 11400714785074694791ULL;
constexpr Py_uhash_t kPrime2 = 14029467366897019727ULL;
constexpr Py_uhash_t kPrime5 = 2870177450012600261ULL;
constexpr Py_uhash_t kAbsentLane = 0x9e3779b97f4a7c15ULL;

Py_uhash_t lane(const FieldValue &value) {
    if (std::holds_alternative<std::monostate>(value))
        return kAbsentLane;
    if (const auto *text = std::get_if<std::string_view>(&value))
        return std::hash<std::string_view>{}(*text);
    return static_cast<Py_uhash_t>(std::get<std::uint64_t>(value));
}

} // namespace

PyObject *reader_repr(PyObject *self) {
    const ReaderConfig *record = receiver_record(self);
    if (record == nullptr)
        return nullptr;
    std::string text = "ReaderConfig(";
    const std::size_t opening = text.size();
    for (const auto &field : kReaderFields) {
        const FieldValue value = field_value(*record, field);
        if (std::holds_alternative<std::monostate>(value))
            continue;
        if (text.size() > opening)
            text += ", ";
        text += field.name;
        text += '=';
        if (field.name == kMaskedSetting)
            text += "'***'";
        else if (!append_repr(text, value))
            return nullptr;
    }
    text += ')';
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyObject *reader_richcompare(PyObject *self, PyObject *other, int op) {
    PyTypeObject *type = reader_config_type();
    if (type == nullptr)
        return nullptr;
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(self, type) ||
        !PyObject_TypeCheck(other, type))
        Py_RETURN_NOTIMPLEMENTED;
    const bool equal = same_settings(as_reader(self)->record(), as_reader(other)->record());
    return Ref::borrow(equal == (op == Py_EQ) ? Py_True : Py_False).release();
}

Py_hash_t reader_hash(PyObject *self) {
    const ReaderConfig *record = receiver_record(self);
    if (record == nullptr)
        return -1;
    Py_uhash_t hash = kPrime5;
    for (const auto &field : kReaderFields) {
        hash += lane(field_value(*record, field)) * kPrime2;
        hash = (hash << 31) | (hash >> 33);
        hash *= kPrime1;
    }
    hash += kReaderFields.size() ^ (kPrime5 ^ 3527539UL);
    const auto result = static_cast<Py_hash_t>(hash);
    return result == -1 ? -2 : result; // -1 tells the interpreter an error is set
}

// ---- copy and deepcopy

namespace {

// A new ReaderConfig with a copy of `self`'s record; its attribute dict is
// left to the caller.
Ref copy_record(PyObject *self) {
    const ReaderConfig *record = receiver_record(self);
    if (record == nullptr)
        return {};
    return wrap_reader_config(*record);
}

} // namespace

PyObject *copy_method(PyObject *self, PyObject *) {
    Ref copy = copy_record(self);
    if (!copy)
        return nullptr;
    if (PyObject *dict = instance_attributes(self)) {
        Ref copied = Ref::steal(PyDict_Copy(dict));
        if (!copied)
            return nullptr;
        as_reader(copy.get())->dict = copied.release();
    }
    return copy.release();
}

PyObject *deepcopy_method(PyObject *self, PyObject *memo) {
    Ref copy = copy_record(self);
    if (!copy)
        return nullptr;
    PyObject *dict = instance_attributes(self);
    if (dict == nullptr)
        return copy.release();
    // Registered first, so attributes that refer back to this object refer
    // to the copy.
    if (PyDict_Check(memo)) {
        Ref id = Ref::steal(PyLong_FromVoidPtr(self));
        if (!id || PyDict_SetItem(memo, id.get(), copy.get()) < 0)
            return nullptr;
    }
    Ref module = Ref::steal(PyImport_ImportModule("copy"));
    if (!module)
        return nullptr;
    Ref deepcopy = Ref::steal(PyObject_GetAttrString(module.get(), "deepcopy"));
    if (!deepcopy)
        return nullptr;
    Ref copied = Ref::steal(PyObject_CallFunctionObjArgs(deepcopy.get(), dict, memo, nullptr));
    if (!copied)
        return nullptr;
    as_reader(copy.get())->dict = copied.release();
    return copy.release();
}

// ---- pickling

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

// ---- __replace__

namespace {

constexpr std::string_view kFullName = "ReaderConfig.__replace__()";

} // namespace

PyObject *replace_method(PyObject *self, PyObject *const *args, Py_ssize_t nargsf,
                         PyObject *kwnames) {
    const ReaderConfig *record = receiver_record(self);
    if (record == nullptr)
        return nullptr;
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (!refuse_positional(kFullName, positional))
        return nullptr;
    // The changes go into a copy that no object owns yet; the original and
    // its object are never touched.
    ReaderConfig changed = *record;
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject *keyword = PyTuple_GetItem(kwnames, i);
        const ReaderField *field = field_for_keyword(keyword);
        if (field == nullptr) {
            raise_unexpected_keyword(kFullName, keyword);
            return nullptr;
        }
        if (!store_field(changed, *field, args[positional + i], NoneGiven::Absent))
            return nullptr;
    }
    return wrap_reader_config(std::move(changed)).release();
}

} // namespace corvane::py
