// A set of strings in one open-addressed table: a slot is the key's hash, length and a pointer
// to its bytes, the key one allocation of exactly its bytes. For the ledgers' large sets of
// ids, where node-based sets spend a node, a string and a bucket per key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string_view>

#include "core/string_map.hpp"

namespace qsc {

class FlatStringSet {
    // The key's length above a 24-bit tag of its hash, which settles most mismatches unread.
    struct Slot {
        char* data = nullptr;  // null: empty
        std::uint64_t meta = 0;

        std::size_t size() const noexcept { return static_cast<std::size_t>(meta >> kTagBits); }
        std::string_view text() const noexcept { return {data, size()}; }
    };
    static constexpr int kTagBits = 24;
    static constexpr std::uint64_t kTagMask = (std::uint64_t{1} << kTagBits) - 1;
    static std::uint64_t meta_of(std::size_t size, std::uint64_t hash) noexcept {
        return (static_cast<std::uint64_t>(size) << kTagBits) | (hash & kTagMask);
    }

public:
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using difference_type = std::ptrdiff_t;
        using value_type = std::string_view;

        const_iterator() noexcept = default;
        const_iterator(const Slot* at, const Slot* end) noexcept : at_(at), end_(end) { skip(); }
        std::string_view operator*() const noexcept { return at_->text(); }
        const_iterator& operator++() noexcept {
            ++at_;
            skip();
            return *this;
        }
        bool operator==(const const_iterator& other) const noexcept { return at_ == other.at_; }

    private:
        void skip() noexcept {
            while (at_ != end_ && !at_->data) ++at_;
        }
        const Slot* at_ = nullptr;
        const Slot* end_ = nullptr;
    };

    FlatStringSet() noexcept = default;
    FlatStringSet(const FlatStringSet&) = delete;
    FlatStringSet& operator=(const FlatStringSet&) = delete;
    FlatStringSet(FlatStringSet&& other) noexcept
        : slots_(std::move(other.slots_)), mask_(other.mask_), size_(other.size_) {
        other.mask_ = other.size_ = 0;
    }
    FlatStringSet& operator=(FlatStringSet&& other) noexcept {
        if (this != &other) {
            clear();
            slots_ = std::move(other.slots_);
            mask_ = other.mask_;
            size_ = other.size_;
            other.mask_ = other.size_ = 0;
        }
        return *this;
    }
    ~FlatStringSet() { clear(); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const_iterator begin() const noexcept { return {slots_.get(), slots_.get() + capacity()}; }
    const_iterator end() const noexcept {
        const Slot* end = slots_.get() + capacity();
        return {end, end};
    }

    bool contains(const HashedText& key) const noexcept { return find(key.text, key.hash) != nullptr; }

    // False when the key was there already.
    bool insert(const HashedText& hashed) {
        const std::string_view key = hashed.text;
        const std::uint64_t hash = hashed.hash;
        if (find(key, hash)) return false;
        if ((size_ + 1) * 4 > capacity() * 3) grow();
        auto bytes = std::make_unique<char[]>(key.empty() ? 1 : key.size());
        std::memcpy(bytes.get(), key.data(), key.size());
        Slot* slot = &slots_[hash & mask_];
        while (slot->data) slot = next(slot);
        *slot = Slot{bytes.release(), meta_of(key.size(), hash)};
        ++size_;
        return true;
    }

    bool erase(const HashedText& key) noexcept {
        Slot* slot = find(key.text, key.hash);
        if (!slot) return false;
        delete[] slot->data;
        // Backward shift: pull later members of the probe run into the hole, so that no
        // lookup ever stops early at it.
        Slot* hole = slot;
        for (Slot* s = next(hole); s->data; s = next(s)) {
            const std::size_t home = home_of(*s, mask_);
            const std::size_t from_home = (index(s) - home) & mask_;
            const std::size_t hole_from_home = (index(hole) - home) & mask_;
            if (hole_from_home <= from_home) {
                *hole = *s;
                hole = s;
            }
        }
        *hole = Slot{};
        --size_;
        return true;
    }

    void clear() noexcept {
        for (std::size_t i = 0; i < capacity(); ++i) {
            delete[] slots_[i].data;
            slots_[i] = Slot{};
        }
        size_ = 0;
    }

private:
    std::size_t capacity() const noexcept { return slots_ ? mask_ + 1 : 0; }
    std::size_t index(const Slot* s) const noexcept { return static_cast<std::size_t>(s - slots_.get()); }
    Slot* next(Slot* s) const noexcept { return &slots_[(index(s) + 1) & mask_]; }

    // Where a member's probe run starts: its tag holds the hash's low bits, all of them for a
    // table of up to 2^24 slots.
    static std::size_t home_of(const Slot& s, std::size_t mask) noexcept {
        const std::uint64_t bits = mask <= kTagMask ? s.meta : hash_text(s.text());
        return static_cast<std::size_t>(bits & mask);
    }

    Slot* find(std::string_view key, std::uint64_t hash) const noexcept {
        if (!slots_) return nullptr;
        const std::uint64_t meta = meta_of(key.size(), hash);
        for (Slot* s = &slots_[hash & mask_]; s->data; s = next(s))
            if (s->meta == meta && (key.empty() || std::memcmp(s->data, key.data(), key.size()) == 0)) return s;
        return nullptr;
    }

    void grow() {
        const std::size_t capacity = slots_ ? (mask_ + 1) * 2 : 8;
        auto slots = std::make_unique<Slot[]>(capacity);
        const std::size_t mask = capacity - 1;
        for (std::size_t i = 0; slots_ && i <= mask_; ++i) {
            if (!slots_[i].data) continue;
            std::size_t at = home_of(slots_[i], mask);
            while (slots[at].data) at = (at + 1) & mask;
            slots[at] = slots_[i];
        }
        slots_ = std::move(slots);
        mask_ = mask;
    }

    std::unique_ptr<Slot[]> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

}  // namespace qsc
