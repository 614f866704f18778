#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace corvane {

// One reader's settings. Required texts are always present (possibly empty);
// every other setting is absent or holds a value.
struct ReaderConfig {
    std::string model_name;
    std::string device;
    std::string consumer_group;
    std::optional<std::string> redis_host;
    std::optional<std::string> internal_gateway_ip;
    std::optional<std::string> access_token;
    std::optional<std::string> log_level;
    std::optional<std::string> backend;
    std::optional<std::string> cuda_visible_devices;
    std::optional<std::uint64_t> max_batch_size;
    std::optional<std::uint64_t> batch_duration_millis;
    std::optional<std::uint32_t> tensor_parallel;
    std::optional<std::string> quant_type;
    std::optional<std::uint32_t> max_sequence_length;
    std::optional<std::uint32_t> nvlink_unavailable;
    std::optional<std::uint32_t> disable_static;
    std::optional<std::uint32_t> disable_cuda_graph;
    std::optional<std::uint32_t> cuda_graph_cache_capacity;
    std::optional<std::uint32_t> disable_paged_attention;
    std::optional<std::string> page_cache_size;

    bool operator==(const ReaderConfig &) const = default;
};

// A member of a record, by the shape of its value. The same pointer types
// serve every record (ReaderConfig, AppConfig, OptionAppConfig).
template <class Record> struct Member {
    using RequiredText = std::string Record::*;
    using OptionalText = std::optional<std::string> Record::*;
    using OptionalU64 = std::optional<std::uint64_t> Record::*;
    using OptionalU32 = std::optional<std::uint32_t> Record::*;
    using Any = std::variant<RequiredText, OptionalText, OptionalU64, OptionalU32>;
};

struct ReaderField {
    std::string_view name; // field name, YAML key and Python property name
    Member<ReaderConfig>::Any member;
};

// The twenty settings in declaration order. Reading, writing, the Python
// getters, the value tree and the dict all walk this one table.
inline constexpr std::array<ReaderField, 20> kReaderFields{{
    {"model_name", &ReaderConfig::model_name},
    {"device", &ReaderConfig::device},
    {"consumer_group", &ReaderConfig::consumer_group},
    {"redis_host", &ReaderConfig::redis_host},
    {"internal_gateway_ip", &ReaderConfig::internal_gateway_ip},
    {"access_token", &ReaderConfig::access_token},
    {"log_level", &ReaderConfig::log_level},
    {"backend", &ReaderConfig::backend},
    {"cuda_visible_devices", &ReaderConfig::cuda_visible_devices},
    {"max_batch_size", &ReaderConfig::max_batch_size},
    {"batch_duration_millis", &ReaderConfig::batch_duration_millis},
    {"tensor_parallel", &ReaderConfig::tensor_parallel},
    {"quant_type", &ReaderConfig::quant_type},
    {"max_sequence_length", &ReaderConfig::max_sequence_length},
    {"nvlink_unavailable", &ReaderConfig::nvlink_unavailable},
    {"disable_static", &ReaderConfig::disable_static},
    {"disable_cuda_graph", &ReaderConfig::disable_cuda_graph},
    {"cuda_graph_cache_capacity", &ReaderConfig::cuda_graph_cache_capacity},
    {"disable_paged_attention", &ReaderConfig::disable_paged_attention},
    {"page_cache_size", &ReaderConfig::page_cache_size},
}};

// A field's value as seen from outside the record: absent, text or unsigned integer.
using FieldValue = std::variant<std::monostate, std::string_view, std::uint64_t>;

inline FieldValue field_value(const ReaderConfig &record, const ReaderField &field) {
    return std::visit(
        [&](auto member) -> FieldValue {
            const auto &slot = record.*member;
            if constexpr (std::is_same_v<std::decay_t<decltype(slot)>, std::string>) {
                return std::string_view(slot);
            } else if (!slot) {
                return std::monostate{};
            } else {
                using Inner = typename std::decay_t<decltype(slot)>::value_type;
                if constexpr (std::is_same_v<Inner, std::string>)
                    return std::string_view(*slot);
                else
                    return static_cast<std::uint64_t>(*slot);
            }
        },
        field.member);
}

} // namespace corvane
