#include "python/reader_fields.hpp"

#include "errors/messages.hpp"
#include "python/args.hpp"

#include <array>
#include <cstdint>
#include <type_traits>

namespace corvane::py {

namespace {

// Through the interpreter's signed 64-bit conversion, then bounded to 32 bits.
std::optional<std::uint32_t> to_u32(PyObject *value) {
    long converted = PyLong_AsLong(value);
    if (converted == -1 && PyErr_Occurred())
        return std::nullopt;
    if (converted < 0 || converted > static_cast<long>(UINT32_MAX)) {
        PyErr_SetString(PyExc_OverflowError, messages::kOutOfRange);
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(converted);
}

std::optional<std::uint64_t> to_u64(PyObject *value) {
    Ref index = PyLong_Check(value) ? Ref::borrow(value) : Ref::steal(PyNumber_Index(value));
    if (!index)
        return std::nullopt;
    unsigned long long converted = PyLong_AsUnsignedLongLong(index.get());
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        return std::nullopt;
    return converted;
}

} // namespace

PyObject *const *field_name_objects() {
    static std::array<PyObject *, kReaderFields.size()> names{};
    if (names.back() == nullptr) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i] != nullptr)
                continue;
            const auto name = kReaderFields[i].name;
            PyObject *text =
                PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
            if (text == nullptr)
                return nullptr;
            PyUnicode_InternInPlace(&text);
            names[i] = text;
        }
    }
    return names.data();
}

const ReaderField *field_for_keyword(PyObject *keyword) {
    if (PyObject *const *names = field_name_objects()) {
        for (std::size_t i = 0; i < kReaderFields.size(); ++i)
            if (names[i] == keyword)
                return &kReaderFields[i];
    } else {
        PyErr_Clear(); // fall back to comparing texts
    }
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (text == nullptr) {
        PyErr_Clear(); // not encodable, so not one of ours
        return nullptr;
    }
    const std::string_view name(text, static_cast<std::size_t>(size));
    for (const auto &field : kReaderFields)
        if (field.name == name)
            return &field;
    return nullptr;
}

Ref value_object(const FieldValue &value) {
    return std::visit(
        [](auto content) -> Ref {
            using V = decltype(content);
            if constexpr (std::is_same_v<V, std::monostate>)
                return Ref::borrow(Py_None);
            else if constexpr (std::is_same_v<V, std::string_view>)
                return Ref::steal(PyUnicode_FromStringAndSize(
                    content.data(), static_cast<Py_ssize_t>(content.size())));
            else
                return Ref::steal(PyLong_FromUnsignedLongLong(content));
        },
        value);
}

bool store_field(ReaderConfig &record, const ReaderField &field, PyObject *value, NoneGiven none) {
    return std::visit(
        [&](auto member) -> bool {
            auto &slot = record.*member;
            using Slot = std::decay_t<decltype(slot)>;
            if constexpr (!std::is_same_v<Slot, std::string>) {
                if (none == NoneGiven::Absent && value == Py_None) {
                    slot.reset();
                    return true;
                }
            }
            if constexpr (std::is_same_v<Slot, std::string> ||
                          std::is_same_v<Slot, std::optional<std::string>>) {
                auto text = text_value(value);
                if (!text)
                    return false;
                slot = std::string(*text);
            } else if constexpr (std::is_same_v<Slot, std::optional<std::uint64_t>>) {
                auto number = to_u64(value);
                if (!number)
                    return false;
                slot = *number;
            } else {
                static_assert(std::is_same_v<Slot, std::optional<std::uint32_t>>);
                auto number = to_u32(value);
                if (!number)
                    return false;
                slot = *number;
            }
            return true;
        },
        field.member);
}

} // namespace corvane::py
