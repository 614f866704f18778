// The private module-level functions of the YAML fast path, for tests and
// benchmarks: _yaml_fast_path(text), whether the fast path reads `text`, so
// they can tell that it is taken; _yaml_events(text, fast_path), the parse
// alone, which the read benchmark times.
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

// The number of node events the parse of `text` gives, or None where it
// fails; `fast_path` false forces libyaml.
PyObject *yaml_events(PyObject *, PyObject *const *args, Py_ssize_t count) {
    if (count != 2) {
        PyErr_SetString(PyExc_TypeError, "_yaml_events() takes exactly 2 arguments");
        return nullptr;
    }
    auto text = text_argument(args[0], "text");
    if (!text)
        return nullptr;
    const int allowed = PyObject_IsTrue(args[1]);
    if (allowed < 0)
        return nullptr;
    yaml::Parser parser(*text, allowed ? yaml::FastPath::Allowed : yaml::FastPath::Off);
    std::size_t events = 0;
    for (;;) {
        yaml::Event event;
        if (parser.next_scalar(event)) { // as a reading takes them
            ++events;
            continue;
        }
        bool more = false;
        if (parser.next(event, more))
            return Ref::borrow(Py_None).release();
        if (!more)
            break;
        ++events;
    }
    return PyLong_FromSize_t(events);
}

PyMethodDef fast_path_probe{
    "_yaml_fast_path",
    boundary<yaml_fast_path>,
    METH_O,
    "_yaml_fast_path(text, /)\n--\n\n"
    "Whether the YAML fast path reads text (a private test hook).",
};

PyMethodDef events_probe{
    "_yaml_events",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary<yaml_events>)),
    METH_FASTCALL,
    "_yaml_events(text, fast_path, /)\n--\n\n"
    "The number of events the YAML parse of text gives, None where it fails; fast_path "
    "false reads through libyaml (a private benchmark hook).",
};

} // namespace

bool add_fast_path_probes(PyObject *module) {
    for (PyMethodDef *definition : {&fast_path_probe, &events_probe}) {
        Ref function = bind_function(module, *definition);
        if (!function || PyObject_SetAttrString(module, definition->ml_name, function.get()) < 0)
            return false;
    }
    return true;
}

} // namespace corvane::py
