#include "schema/validation.hpp"

#include "errors/messages.hpp"

#include <cstdint>
#include <string_view>

namespace corvane {

namespace {

ValidationError invalid(std::string_view field, std::string_view explanation) {
    return ValidationError{
        Where{Where::Kind::Field, std::string(field)},
        ValidationErrorType{ValidationErrorType::Kind::Invalid, std::string(explanation)},
    };
}

// One optional "+", then one or more ASCII digits (leading zeros allowed)
// whose value fits 32 bits unsigned.
bool is_device_number(std::string_view item) {
    if (!item.empty() && item.front() == '+')
        item.remove_prefix(1);
    if (item.empty())
        return false;
    std::uint64_t value = 0;
    for (char c : item) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > UINT32_MAX)
            return false;
    }
    return true;
}

// Items are cut at every comma and empty items count, so there is always one
// more item than there are commas.
std::size_t item_count(std::string_view devices) {
    std::size_t count = 1;
    for (char c : devices)
        count += c == ',';
    return count;
}

bool all_items_are_numbers(std::string_view devices) {
    while (true) {
        auto comma = devices.find(',');
        if (!is_device_number(devices.substr(0, comma)))
            return false;
        if (comma == std::string_view::npos)
            return true;
        devices.remove_prefix(comma + 1);
    }
}

} // namespace

std::vector<ValidationError> validate(const ReaderConfig &reader) {
    constexpr std::string_view kDevice = reader_field(&ReaderConfig::device).name;
    constexpr std::string_view kTensorParallel = reader_field(&ReaderConfig::tensor_parallel).name;
    constexpr std::string_view kDevices = reader_field(&ReaderConfig::cuda_visible_devices).name;

    std::vector<ValidationError> findings;
    const std::string_view device = reader.device;
    const auto &tensor_parallel = reader.tensor_parallel;
    const auto &devices = reader.cuda_visible_devices;

    if (device == "cpu" && tensor_parallel)
        findings.push_back(invalid(kTensorParallel, messages::kTensorParallelOnCpu));
    if (device != "cpu" && device != "api" && device != "cuda")
        findings.push_back(invalid(kDevice, messages::kUnknownDevice));
    if (devices && tensor_parallel && item_count(*devices) < *tensor_parallel)
        findings.push_back(invalid(kTensorParallel, messages::kTooFewDevices));
    if (tensor_parallel && *tensor_parallel >= 3 && *tensor_parallel % 2 == 1)
        findings.push_back(invalid(kTensorParallel, messages::kTensorParallelOdd));
    if (tensor_parallel && *tensor_parallel == 0)
        findings.push_back(invalid(kTensorParallel, messages::kTensorParallelZero));
    if (devices && !all_items_are_numbers(*devices))
        findings.push_back(invalid(kDevices, messages::kDevicesNotNumbers));
    return findings;
}

} // namespace corvane
