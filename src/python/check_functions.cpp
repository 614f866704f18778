// The module's private helpers for the corvane-config command
// (corvane_config_cli): checking a whole manifest and the manifest's JSON
// Schema. Not in __all__; the command is their only intended caller.
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/interpreter_lock.hpp"
#include "schema/json_schema.hpp"
#include "schema/manifest_check.hpp"

#include <array>
#include <string>

namespace corvane::py {

namespace {

Ref text_object(std::string_view text) {
    return expect(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// (line, column, reader_id or None, kind, message)
Ref finding_tuple(const Finding &finding) {
    std::array<Ref, 5> items{
        expect(PyLong_FromUnsignedLong(finding.line)),
        expect(PyLong_FromUnsignedLong(finding.column)),
        finding.reader_id ? text_object(*finding.reader_id) : Ref::borrow(Py_None),
        text_object(finding_kind_name(finding.kind)),
        text_object(finding.message),
    };
    Ref tuple = expect(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        // PyTuple_SetItem takes the reference over, also when it fails.
        if (PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release()) < 0)
            fault_from_python_error();
    }
    return tuple;
}

// _check_manifest(path) -> (readers, [(line, column, reader_id, kind, message), ...])
PyObject *check_manifest_function(PyObject *, PyObject *path_object) {
    auto path = path_argument(path_object, "path");
    if (!path)
        return nullptr;
    Result<ManifestCheck> check = without_interpreter_lock(
        *path, [](const std::string &given, const io::InterruptCheck &interrupt) {
            return check_manifest(given, interrupt);
        });
    if (!check)
        return raise(check.error());
    Ref findings = expect(PyList_New(0));
    for (const Finding &finding : check->findings) {
        Ref item = finding_tuple(finding);
        if (PyList_Append(findings.get(), item.get()) < 0)
            return nullptr;
    }
    Ref readers = expect(PyLong_FromSize_t(check->readers));
    return expect(PyTuple_Pack(2, readers.get(), findings.get())).release();
}

PyObject *manifest_schema_function(PyObject *, PyObject *) {
    return text_object(manifest_json_schema()).release();
}

PyMethodDef definitions[] = {
    {"_check_manifest",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary<check_manifest_function>)),
     METH_O,
     "_check_manifest(path, /)\n--\n\n"
     "Check the whole manifest at path: (readers, findings), each finding\n"
     "(line, column, reader_id or None, kind, message)."},
    {"_manifest_schema",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(boundary<manifest_schema_function>)),
     METH_NOARGS,
     "_manifest_schema()\n--\n\nThe manifest format's JSON Schema (draft-07), as compact JSON."},
};

} // namespace

bool add_check_functions(PyObject *module) {
    for (PyMethodDef &definition : definitions) {
        Ref function = bind_function(module, definition);
        if (!function || PyObject_SetAttrString(module, definition.ml_name, function.get()) < 0)
            return false;
    }
    return true;
}

} // namespace corvane::py
