#pragma once

// A ReaderConfig setting seen from Python: its name as a Python string, its
// value as a Python object, and a Python value converted into it. Every part
// of the class that handles settings one by one (getters, constructor,
// repr, pickling, __replace__) goes through these.
#include "python/ref.hpp"
#include "schema/reader_config.hpp"

namespace corvane::py {

// The settings' names as interned Python strings, in the order of
// kReaderFields; made once and kept. Null with an error set if the
// interpreter cannot make them.
PyObject *const *field_name_objects();

// The setting that a keyword names, or null. Interned keywords match by
// identity; others by their text.
const ReaderField *field_for_keyword(PyObject *keyword);

// The Python form of a setting's value: None when absent, str or int.
// Null with an error set if the interpreter cannot make it.
Ref value_object(const FieldValue &value);

// What a Python None given for an optional setting means. A required text
// refuses None in either case (the text conversion error).
enum class NoneGiven { Absent, Refused };

// Converts `value` as the keyword constructor does for the setting's width
// and stores it in `record`:
// - text: a str (or subclass); anything else raises TypeError "'<type>'
//   object cannot be converted to 'PyString'"; lone surrogates raise the
//   interpreter's encoding error;
// - unsigned 32-bit: the interpreter's signed 64-bit conversion, then
//   OverflowError "out of range integral type conversion attempted" outside
//   0 to 4294967295;
// - unsigned 64-bit: an int as it is, other objects through __index__, then
//   the interpreter's unsigned 64-bit conversion and its OverflowError.
// False with the error set; the record is then unchanged.
bool store_field(ReaderConfig &record, const ReaderField &field, PyObject *value, NoneGiven none);

} // namespace corvane::py
