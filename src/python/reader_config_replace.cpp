// ReaderConfig.__replace__ (copy.replace): a new reader with some settings
// changed. Any of the twenty settings may be named; values are converted as
// the keyword constructor converts them, and None makes an optional setting
// absent. Only type and range are checked, as when a manifest is read.
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/reader_config_object.hpp"
#include "python/reader_fields.hpp"

namespace corvane::py {

namespace {

constexpr std::string_view kFullName = "ReaderConfig.__replace__()";

} // namespace

PyObject *replace_method(PyObject *self, PyObject *const *args, Py_ssize_t nargsf,
                         PyObject *kwnames) {
    const ReaderConfig *record = receiver_record(self);
    if (record == nullptr)
        return nullptr;
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (!refuse_positional(kFullName, positional))
        return nullptr;
    // The changes go into a copy that no object owns yet; the original and
    // its object are never touched.
    ReaderConfig changed = *record;
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject *keyword = PyTuple_GetItem(kwnames, i);
        const ReaderField *field = field_for_keyword(keyword);
        if (field == nullptr) {
            raise_unexpected_keyword(kFullName, keyword);
            return nullptr;
        }
        if (!store_field(changed, *field, args[positional + i], NoneGiven::Absent))
            return nullptr;
    }
    return wrap_reader_config(std::move(changed)).release();
}

} // namespace corvane::py
