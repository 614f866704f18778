#include "schema/value_tree.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace corvane {

namespace {

auto lower_bound(const std::vector<Value::Object::Entry> &entries, std::string_view key) {
    return std::lower_bound(entries.begin(), entries.end(), key,
                            [](const auto &entry, std::string_view k) { return entry.first < k; });
}

void append_json_string(std::string &out, std::string_view text) {
    out += '"';
    for (char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
                out += buffer;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

template <class N> void append_number(std::string &out, N number) {
    char buffer[32];
    auto end = std::to_chars(buffer, buffer + sizeof buffer, number).ptr;
    out.append(buffer, end);
}

void append_json(std::string &out, const Value &value) {
    struct Visitor {
        std::string &out;
        void operator()(Value::Null) const { out += "null"; }
        void operator()(bool flag) const { out += flag ? "true" : "false"; }
        void operator()(const Value::Number &number) const {
            std::visit(
                [&](auto n) {
                    if constexpr (std::is_same_v<decltype(n), double>) {
                        if (!std::isfinite(n)) {
                            out += "null"; // JSON has no spelling for these
                            return;
                        }
                    }
                    append_number(out, n);
                },
                number);
        }
        void operator()(const std::string &text) const { append_json_string(out, text); }
        void operator()(const Value::List &list) const {
            out += '[';
            for (std::size_t i = 0; i < list.size(); ++i) {
                if (i > 0)
                    out += ',';
                append_json(out, list[i]);
            }
            out += ']';
        }
        void operator()(const Value::Object &object) const {
            out += '{';
            bool first = true;
            for (const auto &[key, item] : object) {
                if (!first)
                    out += ',';
                first = false;
                append_json_string(out, key);
                out += ':';
                append_json(out, item);
            }
            out += '}';
        }
    };
    std::visit(Visitor{out}, value.data());
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

const Value *Value::Object::find(std::string_view key) const {
    auto at = lower_bound(entries_, key);
    return at != entries_.end() && at->first == key ? &at->second : nullptr;
}

bool Value::Object::erase(std::string_view key) {
    auto at = lower_bound(entries_, key);
    if (at == entries_.end() || at->first != key)
        return false;
    entries_.erase(at);
    return true;
}

std::string to_compact_json(const Value &value) {
    std::string out;
    append_json(out, value);
    return out;
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
                    return Value::Number(item);
            },
            field_value(reader, field));
        object.insert(std::string(field.name), std::move(node));
    }
    return object;
}

} // namespace corvane
