#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace corvane {

// A map from text keys that remembers where each key first appeared. Putting
// an existing key replaces its value in place, so a manifest's readers are
// written back in document order and a replaced reader keeps its place.
template <class T> class OrderedMap {
  public:
    using Entry = std::pair<std::string, T>;

    void put(std::string key, T value) {
        auto found = index_.find(key);
        if (found != index_.end()) {
            entries_[found->second].second = std::move(value);
            return;
        }
        index_.emplace(key, entries_.size());
        entries_.emplace_back(std::move(key), std::move(value));
    }

    const T *find(std::string_view key) const {
        auto found = index_.find(std::string(key));
        return found == index_.end() ? nullptr : &entries_[found->second].second;
    }
    T *find(std::string_view key) { return const_cast<T *>(std::as_const(*this).find(key)); }

    // Moves the value stored under `key` out of the map (which is then only
    // fit to be dropped), so a lookup that keeps one entry copies nothing.
    std::optional<T> take(std::string_view key) && {
        auto found = index_.find(std::string(key));
        if (found == index_.end())
            return std::nullopt;
        return std::move(entries_[found->second].second);
    }

    // Removes the entry stored under `key`; false when there is none.
    bool erase(std::string_view key) {
        auto found = index_.find(std::string(key));
        if (found == index_.end())
            return false;
        const std::size_t at = found->second;
        index_.erase(found);
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(at));
        for (auto &[name, index] : index_)
            if (index > at)
                --index;
        return true;
    }

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }

    bool operator==(const OrderedMap &other) const { return entries_ == other.entries_; }

  private:
    std::vector<Entry> entries_;
    std::unordered_map<std::string, std::size_t> index_;
};

} // namespace corvane
