#pragma once

#include "errors/config_error.hpp"

#include <utility>
#include <variant>

namespace corvane {

// A value or the ConfigError that kept it from being made. Errors travel back
// by value; only the Python boundary turns them into exceptions.
template <class T> class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(ConfigError error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T &value() & { return std::get<0>(state_); }
    const T &value() const & { return std::get<0>(state_); }
    T &&value() && { return std::get<0>(std::move(state_)); }
    T *operator->() { return &value(); }
    const T *operator->() const { return &value(); }
    T &operator*() & { return value(); }

    ConfigError &error() & { return std::get<1>(state_); }
    const ConfigError &error() const & { return std::get<1>(state_); }
    ConfigError &&error() && { return std::get<1>(std::move(state_)); }

  private:
    std::variant<T, ConfigError> state_;
};

struct Unit {};
using Status = Result<Unit>;
inline Status success() {
    return Unit{};
}

} // namespace corvane
