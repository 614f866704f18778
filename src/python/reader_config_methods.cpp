// The methods of ReaderConfig: dict_without_optionals, validate and
// add_to_manifest_yaml.
#include "errors/messages.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/interpreter_lock.hpp"
#include "python/reader_fields.hpp"
#include "python/reader_instance.hpp"
#include "python/value_to_python.hpp"
#include "schema/operations.hpp"
#include "schema/validation.hpp"
#include "schema/value_tree.hpp"

#include <array>
#include <optional>
#include <string>

namespace corvane::py {

PyObject *dict_without_optionals(PyObject *self, PyObject *) {
    const ReaderConfig *record = receiver_record(self);
    if (record == nullptr)
        return nullptr;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict)
        return nullptr;
    Value::Object tree = emit_value_tree(*record);
    tree.erase(reader_field(&ReaderConfig::cuda_visible_devices).name);
    // The tree keeps its entries in the byte order of their names; the dict
    // follows the record's declaration order instead, so that it reads like
    // the record. One merge pass pairs each entry with its field.
    std::array<const Value *, kReaderFields.size()> nodes{};
    auto entry = tree.begin();
    for (std::size_t index : kReaderFieldsByName) {
        if (entry != tree.end() && entry->first == kReaderFields[index].name) {
            nodes[index] = &entry->second;
            ++entry;
        }
    }
    PyObject *const *names = field_name_objects();
    if (names == nullptr)
        return nullptr;
    for (std::size_t i = 0; i < kReaderFields.size(); ++i) {
        if (nodes[i] != nullptr && !store_node(dict.get(), names[i], *nodes[i]))
            return nullptr;
    }
    return dict.release();
}

PyObject *validate_method(PyObject *self, PyObject *) {
    const ReaderConfig *record = receiver_record(self);
    if (record == nullptr)
        return nullptr;
    auto findings = validate(*record);
    if (!findings.empty())
        return raise(ConfigError(std::move(findings)));
    Py_RETURN_NONE;
}

PyObject *add_to_manifest_yaml_method(PyObject *self, PyObject *const *args, Py_ssize_t nargsf,
                                      PyObject *kwnames) {
    static constexpr std::array<std::string_view, 3> names{"path", "reader_id", "keep_layout"};
    static constexpr Parameters parameters{"ReaderConfig.add_to_manifest_yaml()", names, 2, 1};
    std::array<PyObject *, 3> bound{};
    if (!bind_arguments(parameters, args, nargsf, kwnames, bound))
        return nullptr;
    const ReaderConfig *record = receiver_record(self);
    if (record == nullptr)
        return nullptr;
    auto path = path_argument(bound[0], names[0]);
    if (!path)
        return nullptr;
    auto reader_id = text_argument(bound[1], names[1]);
    if (!reader_id)
        return nullptr;
    std::optional<bool> keep_layout = false;
    if (bound[2] != nullptr && !(keep_layout = bool_argument(bound[2], names[2])))
        return nullptr;
    struct Inputs {
        ReaderConfig record;
        std::string path;
        std::string reader_id;
        Layout layout;
    };
    Status written = without_interpreter_lock(
        Inputs{*record, std::move(*path), std::string(*reader_id),
               *keep_layout ? Layout::Kept : Layout::Rewritten},
        [](const Inputs &given, const io::InterruptCheck &interrupt) {
            return add_to_manifest_yaml(given.record, given.path, given.reader_id, given.layout,
                                        interrupt);
        });
    if (!written)
        return raise(written.error());
    Py_RETURN_NONE;
}

} // namespace corvane::py
