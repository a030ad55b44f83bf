// A set of strings for the ledgers' large sets of ids (the in-flight claims), where node-based
// sets spend a node, a string and a bucket per key. A key is one allocation of its order links,
// its length and its bytes; the index is an open-addressed table (open_table.hpp). Iteration
// follows insertion order, never the table's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <string_view>
#include <utility>

#include "core/open_table.hpp"
#include "core/ordered.hpp"
#include "core/text_hash.hpp"

namespace qsc {

namespace detail {

// A key of a FlatStringSet. The bytes start right after `size`, in the struct's tail padding:
// with a 20-byte header a 36-byte id fits a 64-byte heap block, where 24 bytes would need an
// 80-byte one.
struct SetKey {
    SetKey* prev;
    SetKey* next;
    std::uint32_t size;

    const char* data() const noexcept { return reinterpret_cast<const char*>(&size + 1); }
    char* data() noexcept { return reinterpret_cast<char*>(&size + 1); }
    std::string_view text() const noexcept { return {data(), size}; }
};
struct SetKeys {
    static const char* data(const SetKey& k) noexcept { return k.data(); }
    static std::string_view text(const SetKey& k) noexcept { return k.text(); }
    // Not stored: asked only past 2^24 homes, or for a key that spills while the table grows.
    static std::uint64_t hash(const SetKey& k) noexcept { return hash_text(k.text()); }
};

}  // namespace detail

class FlatStringSet : public detail::OwnedEntries<detail::SetKey, EntryTable<detail::SetKey, detail::SetKeys>> {
    using Key = detail::SetKey;
    using Table = EntryTable<Key, detail::SetKeys>;
    static constexpr std::size_t kBytesAt = offsetof(Key, size) + sizeof(std::uint32_t);

public:
    // Tests of the table reach its index directly.
    friend struct TableProbe;

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using difference_type = std::ptrdiff_t;
        using value_type = std::string_view;

        const_iterator() noexcept = default;
        explicit const_iterator(const Key* at) noexcept : at_(at) {}
        std::string_view operator*() const noexcept { return at_->text(); }
        const_iterator& operator++() noexcept {
            at_ = at_->next;
            return *this;
        }
        bool operator==(const const_iterator&) const noexcept = default;

    private:
        const Key* at_ = nullptr;
    };

    // Oldest first.
    const_iterator begin() const noexcept { return const_iterator(order_.head); }
    const_iterator end() const noexcept { return const_iterator(); }

    bool contains(const HashedText& key) const noexcept { return table_.find(key) != nullptr; }

    // False when the key was there already. A failed insertion changes nothing; a key of
    // 4 GiB or more fails as memory the set cannot give.
    bool insert(const HashedText& key) {
        Table::Vacancy vacancy;
        if (table_.find(key, vacancy)) return false;
        const std::size_t size = key.text.size();
        if (size > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
        void* block = ::operator new(kBytesAt + size < sizeof(Key) ? sizeof(Key) : kBytesAt + size);
        Key* k = new (block) Key{nullptr, nullptr, static_cast<std::uint32_t>(size)};
        if (size) std::memcpy(k->data(), key.text.data(), size);
        adopt(key, k, vacancy);
        return true;
    }

    bool erase(const HashedText& key) noexcept {
        Key* k = table_.erase(key);
        if (!k) return false;
        drop(k);
        return true;
    }

};

}  // namespace qsc
