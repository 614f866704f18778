#pragma once

#include <string>

namespace corvane {

// A JSON Schema (draft-07) of the manifest format, built from the field
// tables: it accepts every document a read accepts (it is looser where YAML
// loaders and the module type scalars differently). Compact JSON text.
std::string manifest_json_schema();

} // namespace corvane
