#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// Which part of a reader configuration a validation finding is about.
struct Where {
    enum class Kind { All, Field };
    Kind kind = Kind::All;
    std::string field; // set for Kind::Field
};

struct ValidationErrorType {
    enum class Kind { RequiredMissing, Invalid };
    Kind kind = Kind::RequiredMissing;
    std::string explanation; // set for Kind::Invalid
};

struct ValidationError {
    Where field;
    ValidationErrorType error_type;
};

// Every failure of a manifest operation or of validation. The declaration
// order of the kinds is part of the error model.
enum class ErrorKind {
    MissingConfig,
    InvalidValue,
    FileNotFound,
    ConfigBuilder,
    Serialization,
    Validation,
    FileWrite,
};

class ConfigError {
  public:
    ConfigError(ErrorKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    explicit ConfigError(std::vector<ValidationError> findings)
        : kind_(ErrorKind::Validation), findings_(std::move(findings)) {}

    ErrorKind kind() const { return kind_; }
    const std::string &text() const { return text_; }

    // The display prefix of the kind immediately followed by the payload.
    std::string display() const;

  private:
    ErrorKind kind_;
    std::string text_;
    std::vector<ValidationError> findings_;
};

[[gnu::cold]] ConfigError file_not_found(std::string_view path);
[[gnu::cold]] ConfigError serialization_error(std::string message);

std::string render_findings(const std::vector<ValidationError> &findings);

} // namespace corvane
