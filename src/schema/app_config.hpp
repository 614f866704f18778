#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace corvane {

// The kinds of server setting; each names its own expected text in errors.
enum class ServerKind { Bool, U16, U64, Usize, Text };

// The server's settings, complete form: every setting must be present.
struct AppConfig {
    bool echo = false;
    std::uint16_t port = 0;
    bool enable_metrics = false;
    std::uint64_t heartbeat_check_interval = 0;
    std::uint16_t management_port = 0;
    std::uint16_t vertex_port = 0;
    std::uint16_t openai_port = 0;
    std::uint16_t snowflake_port = 0;
    std::uint16_t internal_port = 0;
    std::string repository_path;
    std::uint64_t body_size_limit_bytes = 0;
    bool allow_remote_images = false;

    bool operator==(const AppConfig &) const = default;
};

// The all-optional form read when a manifest is only looked up. Its settings
// are declared in a different order from AppConfig's.
struct OptionAppConfig {
    std::optional<bool> echo;
    std::optional<std::uint16_t> port;
    std::optional<bool> enable_metrics;
    std::optional<std::uint64_t> heartbeat_check_interval;
    std::optional<std::uint16_t> management_port;
    std::optional<std::uint16_t> vertex_port;
    std::optional<std::string> repository_path;
    std::optional<std::uint64_t> body_size_limit_bytes;
    std::optional<std::uint16_t> openai_port;
    std::optional<bool> allow_remote_images;
    std::optional<std::uint16_t> snowflake_port;
    std::optional<std::uint16_t> internal_port;

    bool operator==(const OptionAppConfig &) const = default;
};

template <class Record, template <class> class Slot> struct ServerMember {
    using Any = std::variant<Slot<bool> Record::*, Slot<std::uint16_t> Record::*,
                             Slot<std::uint64_t> Record::*, Slot<std::string> Record::*>;
};
template <class T> using Plain = T;

template <class Record> struct ServerField;
template <> struct ServerField<AppConfig> {
    std::string_view name;
    ServerKind kind;
    ServerMember<AppConfig, Plain>::Any member;
};
template <> struct ServerField<OptionAppConfig> {
    std::string_view name;
    ServerKind kind;
    ServerMember<OptionAppConfig, std::optional>::Any member;
};

// AppConfig's settings in declaration order (also the order they are written
// in and the order in which a missing one is looked for).
inline constexpr std::array<ServerField<AppConfig>, 12> kAppFields{{
    {"echo", ServerKind::Bool, &AppConfig::echo},
    {"port", ServerKind::U16, &AppConfig::port},
    {"enable_metrics", ServerKind::Bool, &AppConfig::enable_metrics},
    {"heartbeat_check_interval", ServerKind::U64, &AppConfig::heartbeat_check_interval},
    {"management_port", ServerKind::U16, &AppConfig::management_port},
    {"vertex_port", ServerKind::U16, &AppConfig::vertex_port},
    {"openai_port", ServerKind::U16, &AppConfig::openai_port},
    {"snowflake_port", ServerKind::U16, &AppConfig::snowflake_port},
    {"internal_port", ServerKind::U16, &AppConfig::internal_port},
    {"repository_path", ServerKind::Text, &AppConfig::repository_path},
    {"body_size_limit_bytes", ServerKind::Usize, &AppConfig::body_size_limit_bytes},
    {"allow_remote_images", ServerKind::Bool, &AppConfig::allow_remote_images},
}};

inline constexpr std::array<ServerField<OptionAppConfig>, 12> kOptionAppFields{{
    {"echo", ServerKind::Bool, &OptionAppConfig::echo},
    {"port", ServerKind::U16, &OptionAppConfig::port},
    {"enable_metrics", ServerKind::Bool, &OptionAppConfig::enable_metrics},
    {"heartbeat_check_interval", ServerKind::U64, &OptionAppConfig::heartbeat_check_interval},
    {"management_port", ServerKind::U16, &OptionAppConfig::management_port},
    {"vertex_port", ServerKind::U16, &OptionAppConfig::vertex_port},
    {"repository_path", ServerKind::Text, &OptionAppConfig::repository_path},
    {"body_size_limit_bytes", ServerKind::Usize, &OptionAppConfig::body_size_limit_bytes},
    {"openai_port", ServerKind::U16, &OptionAppConfig::openai_port},
    {"allow_remote_images", ServerKind::Bool, &OptionAppConfig::allow_remote_images},
    {"snowflake_port", ServerKind::U16, &OptionAppConfig::snowflake_port},
    {"internal_port", ServerKind::U16, &OptionAppConfig::internal_port},
}};

} // namespace corvane
