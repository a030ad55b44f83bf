// Insertion-ordered map keyed by strings: hash lookups, oldest-first listing, constant-time
// removal and move-to-back.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/string_map.hpp"

namespace qsc {

template <class V>
class OrderedMap {
public:
    using Entry = std::pair<const std::string, V>;
    using const_iterator = typename std::list<Entry>::const_iterator;

    const V* find(std::string_view key) const {
        auto it = index_.find(key);
        return it == index_.end() ? nullptr : &it->second->second;
    }
    bool contains(std::string_view key) const { return index_.find(key) != index_.end(); }

    // Appends the key, or moves it to the back with the new value if it is already present.
    void put_back(std::string key, V value) {
        if (auto it = index_.find(key); it != index_.end()) {
            it->second->second = std::move(value);
            entries_.splice(entries_.end(), entries_, it->second);
            return;
        }
        entries_.emplace_back(std::move(key), std::move(value));
        try {
            index_.emplace(std::string_view(entries_.back().first), std::prev(entries_.end()));
        } catch (...) {
            entries_.pop_back();
            throw;
        }
    }

    // Removes the key; false if it was not there.
    bool erase(std::string_view key) {
        auto it = index_.find(key);
        if (it == index_.end()) return false;
        auto entry = it->second;
        index_.erase(it);
        entries_.erase(entry);
        return true;
    }

    void clear() noexcept {
        index_.clear();
        entries_.clear();
    }

    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    const_iterator begin() const noexcept { return entries_.begin(); }
    const_iterator end() const noexcept { return entries_.end(); }

private:
    // Index keys view the strings owned by the list nodes, which never move.
    std::list<Entry> entries_;
    std::unordered_map<std::string_view, typename std::list<Entry>::iterator> index_;
};

struct Unit {};
using OrderedSet = OrderedMap<Unit>;

}  // namespace qsc
