#include "schema/validation.hpp"

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
    std::vector<ValidationError> findings;
    const std::string_view device = reader.device;
    const auto &tensor_parallel = reader.tensor_parallel;
    const auto &devices = reader.cuda_visible_devices;

    if (device == "cpu" && tensor_parallel)
        findings.push_back(invalid("tensor_parallel", "tensor_parallel is not supported on cpu"));
    if (device != "cpu" && device != "api" && device != "cuda")
        findings.push_back(invalid("device", "device must be either 'cpu' or 'cuda' for local "
                                             "models, or 'api' for api-based models"));
    if (devices && tensor_parallel && item_count(*devices) < *tensor_parallel)
        findings.push_back(invalid("tensor_parallel",
                                   "If providing cuda_visible_devices, tensor_parallel cannot be "
                                   "larger than the number of devices provided"));
    if (tensor_parallel && *tensor_parallel >= 3 && *tensor_parallel % 2 == 1)
        findings.push_back(
            invalid("tensor_parallel", "tensor_parallel must be 1 or even, if specified."));
    if (tensor_parallel && *tensor_parallel == 0)
        findings.push_back(
            invalid("tensor_parallel", "tensor_parallel must be at least 1, if specified."));
    if (devices && !all_items_are_numbers(*devices))
        findings.push_back(invalid("cuda_visible_devices",
                                   "cuda_visible_devices must be a comma "
                                   "separated string of integers like '0,1'"));
    return findings;
}

} // namespace corvane
