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

// The neutral form a record takes on its way to a Python dictionary: one
// object node whose entries are null, unsigned number or string nodes, the
// only kinds a record's settings give.
class Value {
  public:
    struct Null {};
    // Entries kept sorted by the byte order of their keys; keys are unique.
    class Object {
      public:
        using Entry = std::pair<std::string, Value>;
        // Adds the entry, or replaces the value of an existing key.
        void insert(std::string key, Value value);
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
    Value(std::uint64_t number) : data_(number) {}
    Value(std::string text) : data_(std::move(text)) {}

    using Data = std::variant<Null, std::uint64_t, std::string>;
    const Data &data() const { return data_; }

  private:
    Data data_;
};

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
