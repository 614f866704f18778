#pragma once

#include "schema/reader_config.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace corvane {

// A small generic value tree: the neutral form a record takes on its way to
// a Python dictionary.
class Value {
  public:
    struct Null {};
    // Exactly one of an unsigned, a negative integer or a floating-point number.
    using Number = std::variant<std::uint64_t, std::int64_t, double>;
    using List = std::vector<Value>;
    // Entries kept sorted by the byte order of their keys; keys are unique.
    class Object {
      public:
        using Entry = std::pair<std::string, Value>;
        // Adds the entry, or replaces the value of an existing key.
        void insert(std::string key, Value value);
        const Value *find(std::string_view key) const;
        bool erase(std::string_view key);
        void reserve(std::size_t count) { entries_.reserve(count); }
        std::size_t size() const { return entries_.size(); }
        auto begin() const { return entries_.begin(); }
        auto end() const { return entries_.end(); }

      private:
        std::vector<Entry> entries_;
    };

    Value() = default;
    Value(Null) {}
    Value(bool flag) : data_(flag) {}
    Value(Number number) : data_(number) {}
    Value(std::string text) : data_(std::move(text)) {}
    Value(List list) : data_(std::move(list)) {}
    Value(Object object) : data_(std::move(object)) {}

    using Data = std::variant<Null, bool, Number, std::string, List, Object>;
    const Data &data() const { return data_; }

  private:
    Data data_;
};

// The node in compact JSON syntax (used in error texts).
std::string to_compact_json(const Value &value);

// The positions of the settings in kReaderFields, sorted by the byte order of
// their names: the order of the entries of a record's object node.
inline constexpr auto kReaderFieldsByName = [] {
    std::array<std::size_t, kReaderFields.size()> order{};
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [](std::size_t a, std::size_t b) {
        return kReaderFields[a].name < kReaderFields[b].name;
    });
    return order;
}();

// One object node with an entry per setting, keyed by the setting's name:
// strings for texts, unsigned numbers for integers, nulls for absent settings.
Value::Object emit_value_tree(const ReaderConfig &reader);

} // namespace corvane
