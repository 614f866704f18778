// The module-level function read_corvane_readers_config.
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
constexpr Parameters kParameters{"read_corvane_readers_config()", kNames, 0};
// Both parameters default to the text "str".
constexpr std::string_view kDefault = "str";

PyObject *read_corvane_readers_config(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                                      PyObject *kwnames) {
    std::array<PyObject *, 2> bound{};
    if (!bind_arguments(kParameters, args, nargsf, kwnames, bound))
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

PyMethodDef definition{
    "read_corvane_readers_config",
    reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(boundary<read_corvane_readers_config>)),
    METH_FASTCALL | METH_KEYWORDS,
    "read_corvane_readers_config(path=\"str\", reader_id=\"str\")\n--\n\n"
    "Read the reader config for reader_id: reader_id from the manifest yaml file.\n"
    "If no such reader is found, return an error to be raised in python",
};

} // namespace

Ref make_read_function(PyObject *module) {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name)
        return {};
    return Ref::steal(PyCMethod_New(&definition, module, name.get(), nullptr));
}

} // namespace corvane::py
