// ReaderConfig as a value: repr, equality and hashing by its twenty settings.
// The instance's own attributes take no part in any of them.
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/reader_config_object.hpp"
#include "python/reader_fields.hpp"

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

} // namespace corvane::py
