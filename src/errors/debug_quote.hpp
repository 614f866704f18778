#pragma once

#include <string>
#include <string_view>

namespace corvane {

// Appends `text` between double quotes with the escapes used in error
// messages: \\ \" \t \r \n \0, and \u{hex} for characters that are not
// printable or that extend a grapheme. Other characters pass unchanged.
// `text` must be valid UTF-8.
void append_debug_quoted(std::string &out, std::string_view text);
std::string debug_quoted(std::string_view text);

} // namespace corvane
