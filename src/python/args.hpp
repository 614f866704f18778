#pragma once

#include "python/ref.hpp"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace corvane::py {

// The parameters of a callable taking positional-or-keyword arguments; the
// first `required` of them must be given, the last `keyword_only` can only
// be given by keyword.
struct Parameters {
    std::string_view full_name; // as shown in errors, e.g. "read_corvane_readers_config()"
    std::span<const std::string_view> names;
    std::size_t required;
    std::size_t keyword_only = 0;

    std::size_t positional() const { return names.size() - keyword_only; }
};

// Binds vectorcall arguments to `out` (one borrowed slot per parameter, null
// when not given). On failure sets the TypeError and returns false.
bool bind_arguments(const Parameters &parameters, PyObject *const *args, Py_ssize_t nargsf,
                    PyObject *kwnames, std::span<PyObject *> out);

// Sets TypeError "<full_name> got an unexpected keyword argument '<keyword>'".
void raise_unexpected_keyword(std::string_view full_name, PyObject *keyword);

// Refuses any positional argument of a keyword-only callable.
bool refuse_positional(std::string_view full_name, Py_ssize_t count);

// The qualified name of the object's type, or the stand-in text used when
// the interpreter cannot give it.
std::string type_name_of(PyObject *object);

// Sets TypeError "'<type>' object cannot be converted to '<target>'".
void raise_conversion_error(PyObject *value, std::string_view target);

// The UTF-8 text of a str (borrowed from the object). A value that is not a
// str raises the conversion error for 'PyString'; a str that cannot be
// encoded raises the interpreter's own error.
std::optional<std::string_view> text_value(PyObject *value);

// As text_value, for a named argument: TypeErrors are prefixed with
// "argument '<name>': ", other errors pass unchanged.
std::optional<std::string_view> text_argument(PyObject *value, std::string_view name);

// A bool argument: True or False only; anything else raises the TypeError
// "argument '<name>': '<type>' object cannot be converted to 'PyBool'".
std::optional<bool> bool_argument(PyObject *value, std::string_view name);

// A file path argument: a str, or an os.PathLike whose __fspath__ returns a
// str, as the bytes the interpreter encodes the file name to (a copy). As
// text_argument otherwise: objects that yield no str (bytes, a path-like
// returning bytes, anything else) raise the same TypeError, naming the
// object's own type; an exception raised by __fspath__ itself passes
// unchanged unless it is a TypeError, and so does the UnicodeEncodeError of a
// str the file system encoding refuses.
std::optional<std::string> path_argument(PyObject *value, std::string_view name);

} // namespace corvane::py
