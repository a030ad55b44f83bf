// Insertion-ordered hash map and set keyed by strings. Entries keep the order in which they were
// inserted (or last moved to the back); every per-key operation is one probe of an
// open-addressed table. An entry is one allocation holding the order links, the value and the
// key's bytes; its slot holds a pointer and the key's length and hash tag, which settle most
// mismatches without touching the entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "core/string_map.hpp"

namespace qsc {

template <class V>
class OrderedMap {
    struct Node {
        Node* prev;
        Node* next;
        std::uint64_t hash;
        std::size_t size;
        V value;

        const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
        char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
        std::string_view text() const noexcept { return {data(), size}; }
    };
    // The key's length above a 24-bit tag of its hash.
    struct Slot {
        Node* node = nullptr;  // null: empty
        std::uint64_t meta = 0;
    };
    static constexpr int kTagBits = 24;
    static constexpr std::uint64_t kTagMask = (std::uint64_t{1} << kTagBits) - 1;
    static std::uint64_t meta_of(std::size_t size, std::uint64_t hash) noexcept {
        return (static_cast<std::uint64_t>(size) << kTagBits) | (hash & kTagMask);
    }

public:
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

    OrderedMap() noexcept = default;
    OrderedMap(const OrderedMap&) = delete;
    OrderedMap& operator=(const OrderedMap&) = delete;
    OrderedMap(OrderedMap&& other) noexcept { steal(other); }
    OrderedMap& operator=(OrderedMap&& other) noexcept {
        if (this != &other) {
            clear();
            steal(other);
        }
        return *this;
    }
    ~OrderedMap() { clear(); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    iterator begin() noexcept { return iterator(head_); }
    iterator end() noexcept { return iterator(); }
    const_iterator begin() const noexcept { return const_iterator(head_); }
    const_iterator end() const noexcept { return const_iterator(); }

    V* find(const HashedText& key) noexcept {
        Slot* s = find_slot(key);
        return s ? &s->node->value : nullptr;
    }
    const V* find(const HashedText& key) const noexcept {
        const Slot* s = find_slot(key);
        return s ? &s->node->value : nullptr;
    }
    bool contains(const HashedText& key) const noexcept { return find_slot(key) != nullptr; }

    // The entry's own copy of a present key, which lives as long as the entry: records that
    // name an entry can view it instead of holding a copy. Empty when absent.
    std::string_view stored_key(const HashedText& key) const noexcept {
        const Slot* s = find_slot(key);
        return s ? s->node->text() : std::string_view{};
    }

    // Appends `key` with a value built from `args` unless present; a present entry keeps its
    // value and its place. Returns the entry's value and whether it was inserted.
    template <class... A>
    std::pair<V*, bool> emplace_back(const HashedText& key, A&&... args) {
        if (Slot* s = find_slot(key)) return {&s->node->value, false};
        return {&insert(key, std::forward<A>(args)...)->value, true};
    }

    // Moves a present entry to the back; false when absent.
    bool move_to_back(const HashedText& key) noexcept {
        Slot* s = find_slot(key);
        if (!s) return false;
        to_back(s->node);
        return true;
    }

    // Moves `key` to the back, appending it with a default value when absent.
    V& touch_back(const HashedText& key) {
        if (Slot* s = find_slot(key)) {
            to_back(s->node);
            return s->node->value;
        }
        return insert(key)->value;
    }

    bool erase(const HashedText& key) noexcept {
        Slot* s = find_slot(key);
        if (!s) return false;
        remove(s);
        return true;
    }

    std::string_view front_key() const noexcept { return head_->text(); }

    void pop_front() noexcept { remove(slot_of(head_)); }

    // Drops entries from the front until at most `capacity` remain.
    void trim_front(std::size_t capacity) noexcept {
        while (size_ > capacity) pop_front();
    }

    // Forgets every entry and gives the table back.
    void clear() noexcept {
        for (Node* n = head_; n;) destroy(std::exchange(n, n->next));
        slots_.reset();
        head_ = tail_ = nullptr;
        mask_ = size_ = 0;
    }

private:
    std::size_t capacity() const noexcept { return slots_ ? mask_ + 1 : 0; }
    std::size_t index(const Slot* s) const noexcept { return static_cast<std::size_t>(s - slots_.get()); }
    Slot* next(Slot* s) const noexcept { return &slots_[(index(s) + 1) & mask_]; }
    // Where an entry's probe run starts: the tag holds the hash's low bits, all of them for a
    // table of up to 2^24 slots.
    static std::size_t home_of(const Slot& s, std::size_t mask) noexcept {
        return static_cast<std::size_t>((mask <= kTagMask ? s.meta : s.node->hash) & mask);
    }

    Slot* find_slot(const HashedText& key) const noexcept {
        if (!slots_) return nullptr;
        const std::uint64_t meta = meta_of(key.text.size(), key.hash);
        for (Slot* s = &slots_[key.hash & mask_]; s->node; s = next(s))
            if (s->meta == meta && (key.text.empty() || std::memcmp(s->node->data(), key.text.data(), key.text.size()) == 0))
                return s;
        return nullptr;
    }

    Slot* slot_of(const Node* n) const noexcept {
        Slot* s = &slots_[n->hash & mask_];
        while (s->node != n) s = next(s);
        return s;
    }

    // A new entry at the back; the key must be absent.
    template <class... A>
    Node* insert(const HashedText& key, A&&... args) {
        if ((size_ + 1) * 4 > capacity() * 3) grow();
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
        Slot* s = &slots_[key.hash & mask_];
        while (s->node) s = next(s);
        *s = Slot{n, meta_of(size, key.hash)};
        ++size_;
        link_back(n);
        return n;
    }

    // Backward shift: later members of the probe run move into the hole, so that no lookup
    // ever stops early at it.
    void remove(Slot* slot) noexcept {
        Node* n = slot->node;
        unlink(n);
        destroy(n);
        Slot* hole = slot;
        for (Slot* s = next(hole); s->node; s = next(s)) {
            const std::size_t home = home_of(*s, mask_);
            if (((index(hole) - home) & mask_) <= ((index(s) - home) & mask_)) {
                *hole = *s;
                hole = s;
            }
        }
        *hole = Slot{};
        --size_;
    }

    void grow() {
        const std::size_t capacity = slots_ ? (mask_ + 1) * 2 : 8;
        auto slots = std::make_unique<Slot[]>(capacity);
        const std::size_t mask = capacity - 1;
        for (std::size_t i = 0; slots_ && i <= mask_; ++i) {
            if (!slots_[i].node) continue;
            std::size_t at = home_of(slots_[i], mask);
            while (slots[at].node) at = (at + 1) & mask;
            slots[at] = slots_[i];
        }
        slots_ = std::move(slots);
        mask_ = mask;
    }

    static void destroy(Node* n) noexcept {
        n->~Node();
        ::operator delete(n);
    }

    void to_back(Node* n) noexcept {
        if (n == tail_) return;
        unlink(n);
        link_back(n);
    }
    void link_back(Node* n) noexcept {
        n->prev = tail_;
        n->next = nullptr;
        (tail_ ? tail_->next : head_) = n;
        tail_ = n;
    }
    void unlink(Node* n) noexcept {
        (n->prev ? n->prev->next : head_) = n->next;
        (n->next ? n->next->prev : tail_) = n->prev;
        n->prev = n->next = nullptr;
    }

    void steal(OrderedMap& other) noexcept {
        slots_ = std::move(other.slots_);
        head_ = std::exchange(other.head_, nullptr);
        tail_ = std::exchange(other.tail_, nullptr);
        mask_ = std::exchange(other.mask_, 0);
        size_ = std::exchange(other.size_, 0);
    }

    std::unique_ptr<Slot[]> slots_;
    Node* head_ = nullptr;
    Node* tail_ = nullptr;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

struct NoValue {};

// The keys alone; iteration yields (key, NoValue) pairs.
using OrderedSet = OrderedMap<NoValue>;

}  // namespace qsc
