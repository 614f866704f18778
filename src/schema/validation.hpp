#pragma once

#include "errors/config_error.hpp"
#include "schema/reader_config.hpp"

#include <vector>

namespace corvane {

// Every consistency finding of a reader configuration, in rule order; empty
// when the configuration is consistent.
std::vector<ValidationError> validate(const ReaderConfig &reader);

} // namespace corvane
