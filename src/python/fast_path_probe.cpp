// The private module-level function _yaml_fast_path(text): whether the YAML
// fast path reads `text`, so tests and benchmarks can tell that it is taken.
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "yaml/parser.hpp"

namespace corvane::py {

namespace {

PyObject *yaml_fast_path(PyObject *, PyObject *argument) {
    auto text = text_argument(argument, "text");
    if (!text)
        return nullptr;
    const yaml::Parser parser(*text);
    return Ref::borrow(parser.took_fast_path() ? Py_True : Py_False).release();
}

PyMethodDef definition{
    "_yaml_fast_path",
    boundary<yaml_fast_path>,
    METH_O,
    "_yaml_fast_path(text, /)\n--\n\n"
    "Whether the YAML fast path reads text (a private test hook).",
};

} // namespace

Ref make_fast_path_probe(PyObject *module) {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name)
        return {};
    return Ref::steal(PyCMethod_New(&definition, module, name.get(), nullptr));
}

} // namespace corvane::py
