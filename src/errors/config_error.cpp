#include "errors/config_error.hpp"

#include "errors/debug_quote.hpp"

namespace corvane {

namespace {

std::string_view prefix(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::MissingConfig:
        return "Missing Config: ";
    case ErrorKind::InvalidValue:
        return "Invalid Value: ";
    case ErrorKind::FileNotFound:
        return "File Not Found on path: ";
    case ErrorKind::ConfigBuilder:
        return "Error with Config Builder: ";
    case ErrorKind::Serialization:
        return "Error Error Serializing/Deserializing:: ";
    case ErrorKind::Validation:
        return "Validation Errors: ";
    case ErrorKind::FileWrite:
        return "Error Writing to file: ";
    case ErrorKind::Interrupted:
        return {};
    }
    return {};
}

void append_where(std::string &out, const Where &where) {
    if (where.kind == Where::Kind::All) {
        out += "All";
        return;
    }
    out += "Field(";
    append_debug_quoted(out, where.field);
    out += ')';
}

void append_error_type(std::string &out, const ValidationErrorType &type) {
    if (type.kind == ValidationErrorType::Kind::RequiredMissing) {
        out += "RequiredMissing";
        return;
    }
    out += "Invalid(";
    append_debug_quoted(out, type.explanation);
    out += ')';
}

} // namespace

std::string ConfigError::display() const {
    std::string out(prefix(kind_));
    if (kind_ == ErrorKind::Validation)
        out += render_findings(findings_);
    else
        out += text_;
    return out;
}

ConfigError file_not_found(std::string_view path) {
    return ConfigError(ErrorKind::FileNotFound, std::string(path));
}

ConfigError serialization_error(std::string message) {
    return ConfigError(ErrorKind::Serialization, std::move(message));
}

std::string render_findings(const std::vector<ValidationError> &findings) {
    std::string out = "[";
    for (std::size_t i = 0; i < findings.size(); ++i) {
        if (i > 0)
            out += ", ";
        out += "ValidationError { field: ";
        append_where(out, findings[i].field);
        out += ", error_type: ";
        append_error_type(out, findings[i].error_type);
        out += " }";
    }
    out += ']';
    return out;
}

} // namespace corvane
