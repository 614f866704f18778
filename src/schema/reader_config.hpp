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

// A member of ReaderConfig, by the shape of its value.
template <class Record> struct Member {
    using RequiredText = std::string Record::*;
    using OptionalText = std::optional<std::string> Record::*;
    using OptionalU64 = std::optional<std::uint64_t> Record::*;
    using OptionalU32 = std::optional<std::uint32_t> Record::*;
    using Any = std::variant<RequiredText, OptionalText, OptionalU64, OptionalU32>;
};

struct ReaderField {
    std::string_view name; // field name, YAML key and Python property name
    FieldKind kind;        // names the expected value in error messages
    bool required;         // a reader section without it is refused
    Member<ReaderConfig>::Any member;
    std::string_view description; // one line, for the manifest's JSON Schema
};

// The twenty settings in declaration order. Reading, writing, the Python
// getters, the value tree and the dict all walk this one table.
inline constexpr std::array<ReaderField, 20> kReaderFields{{
    {"model_name", FieldKind::Text, kRequired, &ReaderConfig::model_name,
     "Name of the model this reader serves."},
    {"device", FieldKind::Text, kRequired, &ReaderConfig::device,
     "Where the model runs: cpu or cuda for local models, api for api-based models."},
    {"consumer_group", FieldKind::Text, kRequired, &ReaderConfig::consumer_group,
     "Consumer group the reader joins to receive requests."},
    {"redis_host", FieldKind::Text, kOptional, &ReaderConfig::redis_host,
     "Host of the redis server the reader uses."},
    {"internal_gateway_ip", FieldKind::Text, kOptional, &ReaderConfig::internal_gateway_ip,
     "Address of the internal gateway."},
    {"access_token", FieldKind::Text, kOptional, &ReaderConfig::access_token,
     "Token the reader presents to the model source."},
    {"log_level", FieldKind::Text, kOptional, &ReaderConfig::log_level, "Log level of the reader."},
    {"backend", FieldKind::Text, kOptional, &ReaderConfig::backend,
     "Inference backend that runs the model."},
    {"cuda_visible_devices", FieldKind::Text, kOptional, &ReaderConfig::cuda_visible_devices,
     "Comma separated device numbers the reader may use, like 0,1."},
    {"max_batch_size", FieldKind::U64, kOptional, &ReaderConfig::max_batch_size,
     "Largest number of requests run as one batch."},
    {"batch_duration_millis", FieldKind::U64, kOptional, &ReaderConfig::batch_duration_millis,
     "Longest time in milliseconds a batch waits to fill."},
    {"tensor_parallel", FieldKind::U32, kOptional, &ReaderConfig::tensor_parallel,
     "Number of devices one model is split across: 1 or even."},
    {"quant_type", FieldKind::Text, kOptional, &ReaderConfig::quant_type,
     "Quantization applied to the model weights."},
    {"max_sequence_length", FieldKind::U32, kOptional, &ReaderConfig::max_sequence_length,
     "Longest sequence in tokens the model accepts."},
    {"nvlink_unavailable", FieldKind::U32, kOptional, &ReaderConfig::nvlink_unavailable,
     "Non-zero when the devices have no NVLink between them."},
    {"disable_static", FieldKind::U32, kOptional, &ReaderConfig::disable_static,
     "Non-zero to turn static batching off."},
    {"disable_cuda_graph", FieldKind::U32, kOptional, &ReaderConfig::disable_cuda_graph,
     "Non-zero to turn CUDA graphs off."},
    {"cuda_graph_cache_capacity", FieldKind::U32, kOptional,
     &ReaderConfig::cuda_graph_cache_capacity, "Number of CUDA graphs kept in the cache."},
    {"disable_paged_attention", FieldKind::U32, kOptional, &ReaderConfig::disable_paged_attention,
     "Non-zero to turn paged attention off."},
    {"page_cache_size", FieldKind::Text, kOptional, &ReaderConfig::page_cache_size,
     "Size of the page cache for attention."},
}};

// Each row's kind and required flag agree with its member's type.
static_assert([] {
    for (const ReaderField &field : kReaderFields) {
        bool agrees = std::visit(
            [&](auto member) {
                using Slot = std::remove_cvref_t<decltype(std::declval<ReaderConfig>().*member)>;
                return holds<Slot>(field.kind) && field.required == !IsOptional<Slot>::value;
            },
            field.member);
        if (!agrees)
            return false;
    }
    return true;
}());

// The row of a member, for code that names one setting (found at compile
// time, so a member without a row does not compile).
template <class Slot> consteval const ReaderField &reader_field(Slot ReaderConfig::*member) {
    // By alternative and value, not through get_if: GCC's UndefinedBehavior-
    // Sanitizer makes the null test on get_if's pointer non-constant.
    using Pointer = Slot ReaderConfig::*;
    for (const ReaderField &field : kReaderFields)
        if (std::holds_alternative<Pointer>(field.member) &&
            std::get<Pointer>(field.member) == member)
            return field;
    throw "not a setting of ReaderConfig";
}

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
