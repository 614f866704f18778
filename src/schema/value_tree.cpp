#include "schema/value_tree.hpp"

#include <algorithm>

namespace corvane {

namespace {

auto lower_bound(const std::vector<Value::Object::Entry> &entries, std::string_view key) {
    return std::lower_bound(entries.begin(), entries.end(), key,
                            [](const auto &entry, std::string_view k) { return entry.first < k; });
}

} // namespace

void Value::Object::insert(std::string key, Value value) {
    // Keys that arrive in order are appended without a search.
    if (entries_.empty() || entries_.back().first < key) {
        entries_.emplace_back(std::move(key), std::move(value));
        return;
    }
    auto at = lower_bound(entries_, key);
    if (at != entries_.end() && at->first == key) {
        entries_[at - entries_.begin()].second = std::move(value);
        return;
    }
    entries_.emplace(at, std::move(key), std::move(value));
}

bool Value::Object::erase(std::string_view key) {
    auto at = lower_bound(entries_, key);
    if (at == entries_.end() || at->first != key)
        return false;
    entries_.erase(at);
    return true;
}

Value::Object emit_value_tree(const ReaderConfig &reader) {
    Value::Object object;
    object.reserve(kReaderFields.size());
    for (std::size_t index : kReaderFieldsByName) {
        const ReaderField &field = kReaderFields[index];
        Value node = std::visit(
            [](auto item) -> Value {
                using Item = decltype(item);
                if constexpr (std::is_same_v<Item, std::monostate>)
                    return Value::Null{};
                else if constexpr (std::is_same_v<Item, std::string_view>)
                    return std::string(item);
                else
                    return item;
            },
            field_value(reader, field));
        object.insert(std::string(field.name), std::move(node));
    }
    return object;
}

} // namespace corvane
