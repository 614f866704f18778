// The module-level function read_corvane_readers_config.
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/interpreter_lock.hpp"
#include "schema/operations.hpp"

#include <array>

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
    std::array<std::string_view, 2> texts{kDefault, kDefault};
    for (std::size_t i = 0; i < bound.size(); ++i) {
        if (bound[i] == nullptr)
            continue;
        auto text = text_argument(bound[i], kNames[i]);
        if (!text)
            return nullptr;
        texts[i] = *text;
    }
    // The texts stay valid without the lock: they belong to the arguments,
    // which the caller holds for the whole call.
    Result<ReaderConfig> reader =
        without_interpreter_lock([&](const io::InterruptCheck &interrupt) {
            return read_reader_config(texts[0], texts[1], interrupt);
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
