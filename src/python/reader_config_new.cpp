// The keyword constructor of ReaderConfig.
#include "errors/messages.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/reader_config_object.hpp"

#include <array>
#include <cstdint>

namespace corvane::py {

namespace {

// The settings a caller can give by keyword, and whether None leaves the
// setting absent (otherwise None fails the setting's conversion).
struct Keyword {
    const ReaderField *field;
    bool none_means_absent;
};

constexpr std::array<Keyword, 8> kKeywords{{
    {&reader_field(&ReaderConfig::model_name), false},
    {&reader_field(&ReaderConfig::device), false},
    {&reader_field(&ReaderConfig::consumer_group), false},
    {&reader_field(&ReaderConfig::log_level), false},
    {&reader_field(&ReaderConfig::cuda_visible_devices), true},
    {&reader_field(&ReaderConfig::max_batch_size), true},
    {&reader_field(&ReaderConfig::tensor_parallel), true},
    {&reader_field(&ReaderConfig::max_sequence_length), true},
}};

const Keyword *keyword_named(std::string_view name) {
    for (const auto &keyword : kKeywords)
        if (keyword.field->name == name)
            return &keyword;
    return nullptr;
}

// Through the interpreter's conversion to a C long (64 bits on the platforms
// built for), then bounded to 32 bits.
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

// Stores the converted value in the keyword's setting; false with the
// conversion error set.
bool store(ReaderConfig &record, const Keyword &keyword, PyObject *value) {
    return std::visit(
        [&](auto member) -> bool {
            auto &slot = record.*member;
            using Slot = std::decay_t<decltype(slot)>;
            if constexpr (!std::is_same_v<Slot, std::string>) {
                if (keyword.none_means_absent && value == Py_None) {
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
                auto number = to_u32(value);
                if (!number)
                    return false;
                slot = *number;
            }
            return true;
        },
        keyword.field->member);
}

} // namespace

PyObject *construct_reader_config(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    if (!refuse_positional("ReaderConfig.__new__()", PyTuple_GET_SIZE(args)))
        return nullptr;

    ReaderConfig record;
    // No keywords (or an unpacked empty dict): the empty record, unchecked.
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
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
            if (keyword != nullptr && !store(record, *keyword, value))
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

} // namespace corvane::py
