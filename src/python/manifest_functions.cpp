// The module-level functions on manifests: read_corvane_readers_config,
// remove_corvane_readers_config and read_corvane_readers.
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/interpreter_lock.hpp"
#include "schema/operations.hpp"

#include <array>
#include <string>

namespace corvane::py {

namespace {

constexpr std::array<std::string_view, 2> kNames{"path", "reader_id"};
constexpr Parameters kReadParameters{"read_corvane_readers_config()", kNames, 0};
// Both parameters default to the text "str".
constexpr std::string_view kDefault = "str";

PyObject *read_corvane_readers_config(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                                      PyObject *kwnames) {
    std::array<PyObject *, 2> bound{};
    if (!bind_arguments(kReadParameters, args, nargsf, kwnames, bound))
        return nullptr;
    struct Inputs {
        std::string path{kDefault};
        std::string reader_id{kDefault};
    } inputs;
    if (bound[0] != nullptr) {
        auto path = path_argument(bound[0], kNames[0]);
        if (!path)
            return nullptr;
        inputs.path = std::move(*path);
    }
    if (bound[1] != nullptr) {
        auto text = text_argument(bound[1], kNames[1]);
        if (!text)
            return nullptr;
        inputs.reader_id = *text;
    }
    Result<ReaderConfig> reader = without_interpreter_lock(
        inputs, [](const Inputs &given, const io::InterruptCheck &interrupt) {
            return read_reader_config(given.path, given.reader_id, interrupt);
        });
    if (!reader)
        return raise(reader.error());
    return wrap_reader_config(std::move(reader).value()).release();
}

PyObject *remove_corvane_readers_config(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                                        PyObject *kwnames) {
    static constexpr Parameters parameters{"remove_corvane_readers_config()", kNames, 2};
    std::array<PyObject *, 2> bound{};
    if (!bind_arguments(parameters, args, nargsf, kwnames, bound))
        return nullptr;
    auto path = path_argument(bound[0], kNames[0]);
    if (!path)
        return nullptr;
    auto reader_id = text_argument(bound[1], kNames[1]);
    if (!reader_id)
        return nullptr;
    struct Inputs {
        std::string path;
        std::string reader_id;
    };
    Status removed = without_interpreter_lock(
        Inputs{std::move(*path), std::string(*reader_id)},
        [](const Inputs &given, const io::InterruptCheck &interrupt) {
            return remove_reader_config(given.path, given.reader_id, interrupt);
        });
    if (!removed)
        return raise(removed.error());
    Py_RETURN_NONE;
}

PyObject *read_corvane_readers(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                               PyObject *kwnames) {
    static constexpr std::array<std::string_view, 1> names{"path"};
    static constexpr Parameters parameters{"read_corvane_readers()", names, 1};
    std::array<PyObject *, 1> bound{};
    if (!bind_arguments(parameters, args, nargsf, kwnames, bound))
        return nullptr;
    auto path = path_argument(bound[0], names[0]);
    if (!path)
        return nullptr;
    Result<ReadersMap> readers = without_interpreter_lock(
        std::move(*path), [](const std::string &given, const io::InterruptCheck &interrupt) {
            return read_readers_config(given, interrupt);
        });
    if (!readers)
        return raise(readers.error());
    Ref dict = Ref::steal(PyDict_New());
    if (!dict)
        return nullptr;
    for (const auto &[id, record] : readers.value()) {
        Ref key =
            Ref::steal(PyUnicode_FromStringAndSize(id.data(), static_cast<Py_ssize_t>(id.size())));
        if (!key)
            return nullptr;
        Ref reader = wrap_reader_config(record);
        if (!reader || PyDict_SetItem(dict.get(), key.get(), reader.get()) < 0)
            return nullptr;
    }
    return dict.release();
}

template <auto Function> PyCFunction fast_call() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary<Function>));
}

std::array<PyMethodDef, 3> definitions{{
    {"read_corvane_readers_config", fast_call<read_corvane_readers_config>(),
     METH_FASTCALL | METH_KEYWORDS,
     "read_corvane_readers_config(path=\"str\", reader_id=\"str\")\n--\n\n"
     "Read the reader config for reader_id: reader_id from the manifest yaml file.\n"
     "If no such reader is found, return an error to be raised in python"},
    {"remove_corvane_readers_config", fast_call<remove_corvane_readers_config>(),
     METH_FASTCALL | METH_KEYWORDS,
     "remove_corvane_readers_config(path, reader_id)\n--\n\n"
     "Remove the reader config for reader_id: reader_id from the manifest yaml file,\n"
     "keeping every other line of the file as it is."},
    {"read_corvane_readers", fast_call<read_corvane_readers>(), METH_FASTCALL | METH_KEYWORDS,
     "read_corvane_readers(path)\n--\n\n"
     "Read every reader config of the manifest yaml file: a dict from reader_id to\n"
     "ReaderConfig, in file order."},
}};

} // namespace

std::span<PyMethodDef> manifest_functions() {
    return definitions;
}

Ref bind_function(PyObject *module, PyMethodDef &definition) {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name)
        return {};
    return Ref::steal(PyCMethod_New(&definition, module, name.get(), nullptr));
}

} // namespace corvane::py
