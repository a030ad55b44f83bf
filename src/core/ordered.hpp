// Insertion-ordered hash map and set keyed by strings. Entries keep the order in which they were
// inserted (or last moved to the back); every per-key operation is one lookup in an
// open-addressed table (open_table.hpp). An entry is one allocation holding the order links,
// the key's hash, the value and the key's bytes. Iteration follows the order links alone, so
// no answer depends on the hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <string_view>
#include <utility>

#include "core/open_table.hpp"
#include "core/text_hash.hpp"

namespace qsc {

namespace detail {

// The order of a container's entries, a list through their `prev` and `next` links.
template <class Node>
struct InsertionOrder {
    Node* head = nullptr;
    Node* tail = nullptr;

    InsertionOrder() noexcept = default;
    InsertionOrder(InsertionOrder&& other) noexcept
        : head(std::exchange(other.head, nullptr)), tail(std::exchange(other.tail, nullptr)) {}
    InsertionOrder& operator=(InsertionOrder&& other) noexcept {
        head = std::exchange(other.head, nullptr);
        tail = std::exchange(other.tail, nullptr);
        return *this;
    }

    void link_back(Node* n) noexcept {
        n->prev = tail;
        n->next = nullptr;
        (tail ? tail->next : head) = n;
        tail = n;
    }
    void unlink(Node* n) noexcept {
        (n->prev ? n->prev->next : head) = n->next;
        (n->next ? n->next->prev : tail) = n->prev;
        n->prev = n->next = nullptr;
    }
    void to_back(Node* n) noexcept {
        if (n == tail) return;
        unlink(n);
        link_back(n);
    }
    // Calls `destroy` on every entry, front first, and forgets them.
    template <class F>
    void drain(F destroy) noexcept {
        for (Node* n = head; n;) destroy(std::exchange(n, n->next));
        head = tail = nullptr;
    }
};

// What an owning container holds: the table that finds its entries and their order. Each entry
// is one block from operator new, freed here; moving hands everything over.
template <class Node, class Table>
class OwnedEntries {
public:
    OwnedEntries() noexcept = default;
    OwnedEntries(const OwnedEntries&) = delete;
    OwnedEntries& operator=(const OwnedEntries&) = delete;
    OwnedEntries(OwnedEntries&& other) noexcept
        : table_(std::move(other.table_)), order_(std::move(other.order_)), size_(std::exchange(other.size_, 0)) {}
    OwnedEntries& operator=(OwnedEntries&& other) noexcept {
        if (this != &other) {
            clear();
            table_ = std::move(other.table_);
            order_ = std::move(other.order_);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~OwnedEntries() { clear(); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    // Forgets every entry and gives the table back. Out of line: every owner's destructor
    // calls it, and copies of it there would crowd out inlining on the paths that matter.
    [[gnu::noinline]] void clear() noexcept {
        order_.drain(&destroy);
        table_.clear();
        size_ = 0;
    }

protected:
    // Takes a new entry in: into the table where its lookup found room, then at the back. An
    // entry the table cannot take is freed, and nothing changes.
    void adopt(const HashedText& key, Node* n, typename Table::Vacancy vacancy) {
        try {
            table_.insert(key, n, vacancy);
        } catch (...) {
            destroy(n);
            throw;
        }
        order_.link_back(n);
        ++size_;
    }

    // Unlinks and frees an entry already out of the table.
    void drop(Node* n) noexcept {
        order_.unlink(n);
        destroy(n);
        --size_;
    }

    static void destroy(Node* n) noexcept {
        n->~Node();
        ::operator delete(n);
    }

    Table table_;
    InsertionOrder<Node> order_;
    std::size_t size_ = 0;
};

// An entry of an OrderedMap: its links, the key's hash and length, the value, then the key's bytes.
template <class V>
struct MapNode {
    MapNode* prev;
    MapNode* next;
    std::uint64_t hash;
    std::size_t size;
    V value;

    const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
    char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
    std::string_view text() const noexcept { return {data(), size}; }
};
template <class V>
struct MapKeys {
    static const char* data(const MapNode<V>& n) noexcept { return n.data(); }
    static std::string_view text(const MapNode<V>& n) noexcept { return n.text(); }
    static std::uint64_t hash(const MapNode<V>& n) noexcept { return n.hash; }
};

}  // namespace detail

template <class V>
class OrderedMap : public detail::OwnedEntries<detail::MapNode<V>, EntryTable<detail::MapNode<V>, detail::MapKeys<V>>> {
    using Node = detail::MapNode<V>;
    using Table = EntryTable<Node, detail::MapKeys<V>>;
    using Base = detail::OwnedEntries<Node, Table>;
    using Base::destroy;
    using Base::drop;
    using Base::order_;
    using Base::size_;
    using Base::table_;

public:
    // Tests of the table reach its index directly.
    friend struct TableProbe;

    template <bool Const>
    class Iterator {
        using Value = std::conditional_t<Const, const V, V>;

    public:
        using iterator_category = std::forward_iterator_tag;
        using difference_type = std::ptrdiff_t;
        using value_type = std::pair<std::string_view, Value&>;

        Iterator() noexcept = default;
        explicit Iterator(Node* n) noexcept : n_(n) {}
        value_type operator*() const noexcept { return {n_->text(), n_->value}; }
        Iterator& operator++() noexcept {
            n_ = n_->next;
            return *this;
        }
        Iterator operator++(int) noexcept {
            Iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const Iterator&) const noexcept = default;

    private:
        Node* n_ = nullptr;
    };
    using iterator = Iterator<false>;
    using const_iterator = Iterator<true>;


    iterator begin() noexcept { return iterator(order_.head); }
    iterator end() noexcept { return iterator(); }
    const_iterator begin() const noexcept { return const_iterator(order_.head); }
    const_iterator end() const noexcept { return const_iterator(); }

    V* find(const HashedText& key) noexcept {
        Node* n = table_.find(key);
        return n ? &n->value : nullptr;
    }
    const V* find(const HashedText& key) const noexcept {
        const Node* n = table_.find(key);
        return n ? &n->value : nullptr;
    }
    bool contains(const HashedText& key) const noexcept { return table_.find(key) != nullptr; }

    // The entry's own copy of a present key, which lives as long as the entry: records that
    // name an entry can view it instead of holding a copy. Empty when absent.
    std::string_view stored_key(const HashedText& key) const noexcept {
        const Node* n = table_.find(key);
        return n ? n->text() : std::string_view{};
    }

    // Appends `key` with a value built from `args` unless present; a present entry keeps its
    // value and its place. Returns the entry's value and whether it was inserted.
    template <class... A>
    std::pair<V*, bool> emplace_back(const HashedText& key, A&&... args) {
        typename Table::Vacancy vacancy;
        if (Node* n = table_.find(key, vacancy)) return {&n->value, false};
        return {&insert(key, vacancy, std::forward<A>(args)...)->value, true};
    }

    // Moves a present entry to the back; false when absent.
    bool move_to_back(const HashedText& key) noexcept {
        Node* n = table_.find(key);
        if (!n) return false;
        order_.to_back(n);
        return true;
    }

    // Moves `key` to the back, appending it with a default value when absent.
    V& touch_back(const HashedText& key) {
        typename Table::Vacancy vacancy;
        if (Node* n = table_.find(key, vacancy)) {
            order_.to_back(n);
            return n->value;
        }
        return insert(key, vacancy)->value;
    }

    bool erase(const HashedText& key) noexcept {
        Node* n = table_.erase(key);
        if (!n) return false;
        drop(n);
        return true;
    }

    std::string_view front_key() const noexcept { return order_.head->text(); }

    void pop_front() noexcept {
        Node* n = order_.head;
        table_.remove(n);
        drop(n);
    }

    // Drops entries from the front until at most `capacity` remain.
    void trim_front(std::size_t capacity) noexcept {
        while (size_ > capacity) pop_front();
    }

private:
    // A new entry at the back; the key must be absent. A failed insertion changes nothing.
    template <class... A>
    Node* insert(const HashedText& key, typename Table::Vacancy vacancy, A&&... args) {
        const std::size_t size = key.text.size();
        void* block = ::operator new(sizeof(Node) + size);
        Node* n;
        try {
            n = new (block) Node{nullptr, nullptr, key.hash, size, V(std::forward<A>(args)...)};
        } catch (...) {
            ::operator delete(block);
            throw;
        }
        if (size) std::memcpy(n->data(), key.text.data(), size);
        this->adopt(key, n, vacancy);
        return n;
    }

};

// The keys alone; iteration yields (key, NoValue) pairs.
using OrderedSet = OrderedMap<NoValue>;

}  // namespace qsc
