// Insertion-ordered hash map and set. Entries keep the order in which they were inserted (or
// last moved to the back); every per-key operation is one hash lookup, and the order costs two
// pointers per entry: a doubly linked list threaded through the hash nodes, which never move.
#pragma once

#include <cstddef>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/string_map.hpp"

namespace qsc {

template <class K, class V, class Hash = StringHash, class Eq = std::equal_to<>>
class OrderedMap {
    struct Link;
    using Entry = std::pair<const K, Link>;
    struct Link {
        V value;
        Entry* prev = nullptr;
        Entry* next = nullptr;
    };
    using Table = std::unordered_map<K, Link, Hash, Eq>;

public:
    template <bool Const>
    class Iterator {
        using Value = std::conditional_t<Const, const V, V>;

    public:
        using iterator_category = std::forward_iterator_tag;
        using difference_type = std::ptrdiff_t;
        using value_type = std::pair<const K&, Value&>;

        Iterator() noexcept = default;
        explicit Iterator(Entry* e) noexcept : e_(e) {}
        value_type operator*() const noexcept { return {e_->first, e_->second.value}; }
        Iterator& operator++() noexcept {
            e_ = e_->second.next;
            return *this;
        }
        Iterator operator++(int) noexcept {
            Iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const Iterator&) const noexcept = default;

    private:
        Entry* e_ = nullptr;
    };
    using iterator = Iterator<false>;
    using const_iterator = Iterator<true>;

    OrderedMap() = default;
    OrderedMap(const OrderedMap&) = delete;
    OrderedMap& operator=(const OrderedMap&) = delete;
    // Moving the table moves its nodes, so the links stay valid.
    OrderedMap(OrderedMap&& other) noexcept
        : table_(std::move(other.table_)),
          head_(std::exchange(other.head_, nullptr)),
          tail_(std::exchange(other.tail_, nullptr)) {}
    OrderedMap& operator=(OrderedMap&& other) noexcept {
        table_ = std::move(other.table_);
        head_ = std::exchange(other.head_, nullptr);
        tail_ = std::exchange(other.tail_, nullptr);
        return *this;
    }

    std::size_t size() const noexcept { return table_.size(); }
    bool empty() const noexcept { return table_.empty(); }

    iterator begin() noexcept { return iterator(head_); }
    iterator end() noexcept { return iterator(); }
    const_iterator begin() const noexcept { return const_iterator(head_); }
    const_iterator end() const noexcept { return const_iterator(); }

    template <class Q>
    V* find(const Q& key) noexcept {
        auto it = table_.find(key);
        return it == table_.end() ? nullptr : &it->second.value;
    }
    template <class Q>
    const V* find(const Q& key) const noexcept {
        auto it = table_.find(key);
        return it == table_.end() ? nullptr : &it->second.value;
    }
    template <class Q>
    bool contains(const Q& key) const noexcept {
        return table_.find(key) != table_.end();
    }

    // Appends `key` with a value built from `args` unless present; a present entry keeps its
    // value and its place. Returns the entry's value and whether it was inserted.
    template <class Q, class... A>
    std::pair<V*, bool> emplace_back(const Q& key, A&&... args) {
        auto it = table_.find(key);
        if (it != table_.end()) return {&it->second.value, false};
        it = table_.emplace(std::piecewise_construct, std::forward_as_tuple(K(key)),
                            std::forward_as_tuple(Link{V(std::forward<A>(args)...)}))
                 .first;
        link_back(&*it);
        return {&it->second.value, true};
    }

    // Moves a present entry to the back; false when absent.
    template <class Q>
    bool move_to_back(const Q& key) noexcept {
        auto it = table_.find(key);
        if (it == table_.end()) return false;
        Entry* e = &*it;
        if (e != tail_) {
            unlink(e);
            link_back(e);
        }
        return true;
    }

    // Moves `key` to the back, appending it with a default value when absent.
    template <class Q>
    V& touch_back(const Q& key) {
        auto [value, inserted] = emplace_back(key);
        if (!inserted) move_to_back(key);
        return *value;
    }

    template <class Q>
    bool erase(const Q& key) noexcept {
        auto it = table_.find(key);
        if (it == table_.end()) return false;
        unlink(&*it);
        table_.erase(it);
        return true;
    }

    const K& front_key() const noexcept { return head_->first; }

    void pop_front() noexcept {
        Entry* e = head_;
        unlink(e);
        table_.erase(table_.find(e->first));
    }

    // Drops entries from the front until at most `capacity` remain.
    void trim_front(std::size_t capacity) noexcept {
        while (table_.size() > capacity) pop_front();
    }

    void clear() noexcept {
        table_.clear();
        head_ = tail_ = nullptr;
    }

private:
    void link_back(Entry* e) noexcept {
        e->second.prev = tail_;
        e->second.next = nullptr;
        (tail_ ? tail_->second.next : head_) = e;
        tail_ = e;
    }
    void unlink(Entry* e) noexcept {
        Link& l = e->second;
        (l.prev ? l.prev->second.next : head_) = l.next;
        (l.next ? l.next->second.prev : tail_) = l.prev;
        l.prev = l.next = nullptr;
    }

    Table table_;
    Entry* head_ = nullptr;
    Entry* tail_ = nullptr;
};

struct NoValue {};

// The keys alone; iteration yields (key, NoValue) pairs.
template <class K, class Hash = StringHash, class Eq = std::equal_to<>>
using OrderedSet = OrderedMap<K, NoValue, Hash, Eq>;

}  // namespace qsc
