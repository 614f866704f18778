#pragma once

#include "schema/field_kind.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace corvane {

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
// are declared in a different order from AppConfig's; the manifest
// inspection tool lists them in this order.
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

// A member of one of the two forms, by the type of its value.
template <class Record, template <class> class Slot> struct ServerMember {
    using Any = std::variant<Slot<bool> Record::*, Slot<std::uint16_t> Record::*,
                             Slot<std::uint64_t> Record::*, Slot<std::string> Record::*>;
};
template <class T> using Plain = T;

// One server setting: its name (the YAML key), its kind, and where each form
// keeps it.
struct ServerField {
    std::string_view name;
    FieldKind kind;
    ServerMember<AppConfig, Plain>::Any complete;
    ServerMember<OptionAppConfig, std::optional>::Any optional;
    std::string_view description; // one line, for the manifest's JSON Schema
};

// The twelve settings in AppConfig's declaration order: the order they are
// written in and the order in which a missing one is looked for.
inline constexpr std::array<ServerField, 12> kServerFields{{
    {"echo", FieldKind::Bool, &AppConfig::echo, &OptionAppConfig::echo,
     "Whether the server echoes requests in its log."},
    {"port", FieldKind::U16, &AppConfig::port, &OptionAppConfig::port, "Port of the main API."},
    {"enable_metrics", FieldKind::Bool, &AppConfig::enable_metrics,
     &OptionAppConfig::enable_metrics, "Whether the server exports metrics."},
    {"heartbeat_check_interval", FieldKind::U64, &AppConfig::heartbeat_check_interval,
     &OptionAppConfig::heartbeat_check_interval, "Interval between reader heartbeat checks."},
    {"management_port", FieldKind::U16, &AppConfig::management_port,
     &OptionAppConfig::management_port, "Port of the management API."},
    {"vertex_port", FieldKind::U16, &AppConfig::vertex_port, &OptionAppConfig::vertex_port,
     "Port of the Vertex-style API."},
    {"openai_port", FieldKind::U16, &AppConfig::openai_port, &OptionAppConfig::openai_port,
     "Port of the OpenAI-style API."},
    {"snowflake_port", FieldKind::U16, &AppConfig::snowflake_port, &OptionAppConfig::snowflake_port,
     "Port of the Snowflake-style API."},
    {"internal_port", FieldKind::U16, &AppConfig::internal_port, &OptionAppConfig::internal_port,
     "Port of the internal API the readers call."},
    {"repository_path", FieldKind::Text, &AppConfig::repository_path,
     &OptionAppConfig::repository_path, "Folder that holds the model repository."},
    {"body_size_limit_bytes", FieldKind::Usize, &AppConfig::body_size_limit_bytes,
     &OptionAppConfig::body_size_limit_bytes, "Largest request body accepted, in bytes."},
    {"allow_remote_images", FieldKind::Bool, &AppConfig::allow_remote_images,
     &OptionAppConfig::allow_remote_images, "Whether requests may name images by remote URL."},
}};

// The row's member in the given form.
template <class Record> constexpr const auto &member_in(const ServerField &field) {
    if constexpr (std::is_same_v<Record, AppConfig>)
        return field.complete;
    else
        return field.optional;
}

// Each row's kind agrees with its member in the given form.
template <class Record> constexpr bool server_rows_agree() {
    for (const ServerField &field : kServerFields) {
        bool agrees = std::visit(
            [&](auto member) {
                using Slot = std::remove_cvref_t<decltype(std::declval<Record &>().*member)>;
                return holds<Slot>(field.kind);
            },
            member_in<Record>(field));
        if (!agrees)
            return false;
    }
    return true;
}
static_assert(server_rows_agree<AppConfig>() && server_rows_agree<OptionAppConfig>());

} // namespace corvane
