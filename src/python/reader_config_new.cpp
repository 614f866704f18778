// The keyword constructor of ReaderConfig.
#include "errors/messages.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/reader_config_object.hpp"
#include "python/reader_fields.hpp"

#include <array>

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

} // namespace corvane::py
