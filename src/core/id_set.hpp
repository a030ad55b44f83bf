// An insertion-ordered map of ids to small values, and the set of ids it is without one, for the
// ledgers' large sets (claims in flight, completed ids) and the channel books, where a block per
// id costs more than the id. Entries (key and value) sit in a slab of fixed chunks, densely:
// an erased entry's place is taken by the last one, so the slab shrinks with its contents and
// gives whole chunks back. They are linked in insertion order by 32-bit indices, and an
// open-addressed table of 8-byte slots (index, hash tag; open_table.hpp) finds them.
//
// The platform's ids are canonical UUIDs (36 chars: 8-4-4-4-12 lowercase hex digits); an entry
// holds one packed into 16 bytes, any other id of up to 16 bytes as it is, and a longer one in
// a block of its own. Every id keeps its exact bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "core/open_table.hpp"
#include "core/text_hash.hpp"

namespace qsc {

namespace detail {

constexpr std::size_t kUuidSize = 36;
constexpr std::uint64_t kBytes1 = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;

// Two 4-byte groups as one word, put together in registers: a word stored in two halves and
// loaded whole would stall the load.
inline std::uint64_t load_two32(const char* a, const char* b) noexcept {
    std::uint32_t lo, hi;
    std::memcpy(&lo, a, 4);
    std::memcpy(&hi, b, 4);
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}

// A UUID's 32 digits without their dashes, as four words of eight (first digit lowest).
struct UuidDigits {
    std::uint64_t w[4];

    // False unless `text` has the UUID's length and dashes.
    bool read(std::string_view text) noexcept {
        if (text.size() != kUuidSize) return false;
        const char* p = text.data();
        if (p[8] != '-' || p[13] != '-' || p[18] != '-' || p[23] != '-') return false;
        std::memcpy(&w[0], p, 8);
        w[1] = load_two32(p + 9, p + 14);
        w[2] = load_two32(p + 19, p + 24);
        std::memcpy(&w[3], p + 28, 8);
        return true;
    }
    void write(char* out) const noexcept {
        const auto put4 = [](char* at, std::uint64_t v) {
            const auto half = static_cast<std::uint32_t>(v);
            std::memcpy(at, &half, 4);
        };
        std::memcpy(out, &w[0], 8);
        out[8] = '-';
        put4(out + 9, w[1]);
        out[13] = '-';
        put4(out + 14, w[1] >> 32);
        out[18] = '-';
        put4(out + 19, w[2]);
        out[23] = '-';
        put4(out + 24, w[2] >> 32);
        std::memcpy(out + 28, &w[3], 8);
    }
};

// Lowercase hex digits two to a byte, in order, and back: the portable word-at-a-time way.
// Per byte, with no carry between bytes below 0x80, the high bit of x + (0x80 - lo) says
// byte >= lo.
inline bool pack_digits_portable(const UuidDigits& digits, unsigned char (&out)[16]) noexcept {
    std::uint64_t bad = 0;
    for (int i = 0; i < 4; ++i) {
        const std::uint64_t x = digits.w[i];
        const std::uint64_t digit = (x + 0x50 * kBytes1) & ~(x + 0x46 * kBytes1);   // '0'..'9'
        const std::uint64_t letter = (x + 0x1f * kBytes1) & ~(x + 0x19 * kBytes1);  // 'a'..'f'
        bad |= (x | ~(digit | letter)) & kHigh;
        std::uint64_t n = (x & 0x0f * kBytes1) + ((letter & kHigh) >> 7) * 9;
        n = (n | (n >> 4)) & 0x00ff00ff00ff00ffull;
        n = (n | (n >> 8)) & 0x0000ffff0000ffffull;
        const auto packed = static_cast<std::uint32_t>(n | (n >> 16));
        std::memcpy(out + 4 * i, &packed, 4);
    }
    return bad == 0;
}

inline void unpack_digits_portable(const unsigned char (&packed)[16], UuidDigits& digits) noexcept {
    for (int i = 0; i < 4; ++i) {
        std::uint32_t v;
        std::memcpy(&v, packed + 4 * i, 4);
        std::uint64_t x = v;
        x = (x | (x << 16)) & 0x0000ffff0000ffffull;
        x = (x | (x << 8)) & 0x00ff00ff00ff00ffull;
        x = (x | (x << 4)) & 0x0f0f0f0f0f0f0f0full;
        const std::uint64_t letters = ((x + 0x06 * kBytes1) & 0x10 * kBytes1) >> 4;
        digits.w[i] = x + 0x30 * kBytes1 + letters * 0x27;
    }
}

#if defined(__SSE2__) && defined(__x86_64__)
// The same sixteen bytes at a time: ids are packed on every insertion and unpacked on every
// match, where the word-at-a-time way costs a few per cent of a claim cycle. Vectors are built
// from the words in registers, never through memory written in smaller pieces.
inline __m128i digit_vector(std::uint64_t first, std::uint64_t second) noexcept {
    return _mm_set_epi64x(static_cast<long long>(second), static_cast<long long>(first));
}

inline bool pack_digits(const UuidDigits& digits, unsigned char (&out)[16]) noexcept {
    const auto nibbles = [](__m128i v, __m128i& valid) {
        const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
        const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('a' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('f' + 1)));
        valid = _mm_and_si128(valid, _mm_or_si128(digit, letter));
        const __m128i n = _mm_add_epi8(_mm_and_si128(v, _mm_set1_epi8(0x0f)), _mm_and_si128(letter, _mm_set1_epi8(9)));
        // Each 16-bit lane: its first digit in the low nibble, its second in the high one.
        return _mm_and_si128(_mm_or_si128(n, _mm_srli_epi16(n, 4)), _mm_set1_epi16(0x00ff));
    };
    __m128i valid = _mm_set1_epi8(-1);
    const __m128i lo = nibbles(digit_vector(digits.w[0], digits.w[1]), valid);
    const __m128i hi = nibbles(digit_vector(digits.w[2], digits.w[3]), valid);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(lo, hi));
    return _mm_movemask_epi8(valid) == 0xffff;
}

// The digits of a packed UUID, the first sixteen in `lo`.
inline void unpack_vectors(const unsigned char (&packed)[16], __m128i& lo, __m128i& hi) noexcept {
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(packed));
    const __m128i mask = _mm_set1_epi8(0x0f);
    const __m128i first = _mm_and_si128(p, mask), second = _mm_and_si128(_mm_srli_epi16(p, 4), mask);
    const auto text = [](__m128i n) {
        const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(n, _mm_set1_epi8(9)), _mm_set1_epi8('a' - '0' - 10));
        return _mm_add_epi8(_mm_add_epi8(n, _mm_set1_epi8('0')), letters);
    };
    lo = text(_mm_unpacklo_epi8(first, second));
    hi = text(_mm_unpackhi_epi8(first, second));
}

inline void unpack_digits(const unsigned char (&packed)[16], UuidDigits& digits) noexcept {
    __m128i lo, hi;
    unpack_vectors(packed, lo, hi);
    digits.w[0] = static_cast<std::uint64_t>(_mm_cvtsi128_si64(lo));
    digits.w[1] = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(lo, lo)));
    digits.w[2] = static_cast<std::uint64_t>(_mm_cvtsi128_si64(hi));
    digits.w[3] = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(hi, hi)));
}

// Whether `text` is the UUID packed in `packed`, compared as text: exact whatever `text` is.
inline bool packed_equals(const unsigned char (&packed)[16], std::string_view text) noexcept {
    UuidDigits probe;
    if (!probe.read(text)) return false;
    __m128i lo, hi;
    unpack_vectors(packed, lo, hi);
    const __m128i same = _mm_and_si128(_mm_cmpeq_epi8(lo, digit_vector(probe.w[0], probe.w[1])),
                                       _mm_cmpeq_epi8(hi, digit_vector(probe.w[2], probe.w[3])));
    return _mm_movemask_epi8(same) == 0xffff;
}
#else
inline bool pack_digits(const UuidDigits& digits, unsigned char (&out)[16]) noexcept {
    return pack_digits_portable(digits, out);
}
inline void unpack_digits(const unsigned char (&packed)[16], UuidDigits& digits) noexcept {
    unpack_digits_portable(packed, digits);
}
inline bool packed_equals(const unsigned char (&packed)[16], std::string_view text) noexcept {
    UuidDigits probe, stored;
    if (!probe.read(text)) return false;
    unpack_digits(packed, stored);
    return std::memcmp(probe.w, stored.w, sizeof probe.w) == 0;
}
#endif

// A canonical UUID's 16 bytes; false for any other text.
inline bool pack_uuid(std::string_view text, unsigned char (&out)[16]) noexcept {
    UuidDigits digits;
    return digits.read(text) && pack_digits(digits, out);
}

inline void unpack_uuid(const unsigned char (&packed)[16], char* out) noexcept {
    UuidDigits digits;
    unpack_digits(packed, digits);
    digits.write(out);
}

// One id of an IdMap and its value. `key` holds the packed UUID, the bytes of a short id, or the
// address of a longer one's own block.
template <class V>
struct IdEntry {
    static constexpr std::uint32_t kPacked = std::uint32_t{1} << 31;
    static constexpr std::size_t kInline = 16;

    std::uint32_t prev, next;  // insertion order; IdMap::kNone at the ends
    std::uint32_t hash;        // the low half of the id's hash: the table's tag and home
    std::uint32_t form;        // the id's length, with kPacked for a packed UUID
    unsigned char key[16];
    [[no_unique_address]] V value;  // a set's takes no room

    std::uint32_t size() const noexcept { return form & ~kPacked; }
    bool packed() const noexcept { return form & kPacked; }
    bool on_heap() const noexcept { return !packed() && size() > kInline; }
    const char* heap() const noexcept {
        const char* p;
        std::memcpy(&p, key, sizeof p);
        return p;
    }
    // The text; a packed one is written to `buffer`.
    std::string_view text(char (&buffer)[kUuidSize]) const noexcept {
        if (packed()) {
            unpack_uuid(key, buffer);
            return {buffer, kUuidSize};
        }
        return {on_heap() ? heap() : reinterpret_cast<const char*>(key), size()};
    }
};

// An id's text held by value, for the table's spill set, where entries move.
struct IdText {
    const char* heap = nullptr;  // the entry's own block, when it has one
    std::uint32_t size = 0;
    char bytes[kUuidSize];
};

}  // namespace detail

// V is a small trivially copyable value (entries move by copying their bytes); NoValue makes
// the set.
template <class V>
class IdMap {
    static_assert(std::is_trivially_copyable_v<V> && std::is_trivially_default_constructible_v<V>);
    using Entry = detail::IdEntry<V>;
    static constexpr bool kSet = std::is_empty_v<V>;

public:
    static constexpr std::uint32_t kNone = 0xffffffff;
    // Entries per chunk: 32 KiB of them without a value. The first chunk starts small and
    // doubles up to this.
    static constexpr std::uint32_t kChunkBits = 10, kChunk = std::uint32_t{1} << kChunkBits;
    static constexpr std::uint32_t kFirstChunk = 4;

    // What the table's slots hold and how a probe meets an entry, made for each call. A packed
    // entry is unpacked to be compared, which is exact whatever the probe is.
    class Keys {
    public:
        using Ref = std::uint32_t;
        static constexpr Ref kNone = IdMap::kNone;
        using Text = detail::IdText;
        struct Slot {
            std::uint32_t at = 0;  // index + 1; 0: empty
            std::uint32_t tag = 0;
        };

        explicit Keys(const IdMap& map) noexcept : map_(map) {}

        static bool empty(const Slot& s) noexcept { return s.at == 0; }
        static Ref ref(const Slot& s) noexcept { return s.at - 1; }
        static Slot slot(Ref i, const HashedText& key) noexcept { return {i + 1, static_cast<std::uint32_t>(key.hash)}; }
        static void rename(Slot& s, Ref i) noexcept { s.at = i + 1; }
        bool matches(const Slot& s, const HashedText& key) const noexcept {
            if (s.tag != static_cast<std::uint32_t>(key.hash)) return false;
            const Entry& e = map_.at(ref(s));
            if (e.size() != key.text.size()) return false;
            if (e.packed()) return detail::packed_equals(e.key, key.text);
            return std::memcmp(e.on_heap() ? e.heap() : reinterpret_cast<const char*>(e.key), key.text.data(),
                               key.text.size()) == 0;
        }
        std::uint64_t home(const Slot& s, std::size_t) const noexcept { return s.tag; }
        std::uint64_t hash(Ref i) const noexcept { return map_.at(i).hash; }
        Text text(Ref i) const noexcept {
            const Entry& e = map_.at(i);
            Text t;
            t.size = e.size();
            if (e.on_heap()) t.heap = e.heap();
            else if (e.packed()) detail::unpack_uuid(e.key, t.bytes);
            else std::memcpy(t.bytes, e.key, t.size);
            return t;
        }
        static std::string_view view(const Text& t) noexcept { return {t.heap ? t.heap : t.bytes, t.size}; }

    private:
        const IdMap& map_;
    };
    using Table = OpenTable<Keys>;

    // Tests of the table reach its index and slab directly.
    friend struct TableProbe;

    // Yields the ids of a set, (id, value) pairs of a map.
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using difference_type = std::ptrdiff_t;
        using value_type = std::conditional_t<kSet, std::string_view, std::pair<std::string_view, const V&>>;

        const_iterator() noexcept = default;
        const_iterator(const IdMap* map, std::uint32_t at) noexcept : map_(map), at_(at) {}
        // Valid until the iterator moves on: a packed id is written out into the iterator.
        std::string_view key() const noexcept { return map_->at(at_).text(text_); }
        // Reads the value alone, without writing the id out.
        const V& value() const noexcept { return map_->at(at_).value; }
        value_type operator*() const noexcept {
            if constexpr (kSet) return key();
            else return {key(), value()};
        }
        const_iterator& operator++() noexcept {
            at_ = map_->at(at_).next;
            return *this;
        }
        bool operator==(const const_iterator& other) const noexcept { return at_ == other.at_; }

    private:
        const IdMap* map_ = nullptr;
        std::uint32_t at_ = kNone;
        alignas(8) mutable char text_[detail::kUuidSize];  // aligned: the interpreter reads ASCII a word at a time
    };

    IdMap() noexcept = default;
    IdMap(const IdMap&) = delete;
    IdMap& operator=(const IdMap&) = delete;
    IdMap(IdMap&& other) noexcept { steal(other); }
    IdMap& operator=(IdMap&& other) noexcept {
        if (this != &other) {
            clear();
            steal(other);
        }
        return *this;
    }
    ~IdMap() { clear(); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    // Oldest first.
    const_iterator begin() const noexcept { return {this, head_}; }
    const_iterator end() const noexcept { return {this, kNone}; }

    bool contains(const HashedText& key) const noexcept { return locate(key) != kNone; }

    // Where the entry of `key` is, kNone when absent: a place that holds until the map next
    // changes (an entry erased hands its place to the last one).
    std::uint32_t locate(const HashedText& key) const noexcept { return table_.find(narrow(key), Keys(*this)); }
    // The same, with where the table holds it, for erasing it without a second probe.
    using Found = typename Table::Found;
    std::uint32_t locate(const HashedText& key, Found& found) const noexcept {
        return table_.find(narrow(key), found, Keys(*this));
    }
    V& value_at(std::uint32_t i) noexcept { return at(i).value; }
    const V& value_at(std::uint32_t i) const noexcept { return at(i).value; }

    // The value of `key`, valid until the map next changes; null when absent.
    V* find(const HashedText& key) noexcept {
        const std::uint32_t i = locate(key);
        return i == kNone ? nullptr : &at(i).value;
    }
    const V* find(const HashedText& key) const noexcept {
        const std::uint32_t i = locate(key);
        return i == kNone ? nullptr : &at(i).value;
    }

    // Appends `key` unless present; false when it was there already. A failed insertion
    // changes nothing; ids of 2 GiB or more fail as memory the map cannot give.
    bool insert(const HashedText& key) { return add(narrow(key), false, V{}).second; }

    // Appends `key` with the value `value` unless present, where a present entry keeps its value
    // and its place. Returns the entry's value (valid until the map next changes) and whether
    // it was inserted.
    std::pair<V*, bool> emplace_back(const HashedText& key, const V& value) {
        const auto [i, added] = add(narrow(key), false, value);
        return {&at(i).value, added};
    }

    // Moves `key` to the back, appending it when absent.
    void touch_back(const HashedText& key) { add(narrow(key), true, V{}); }

    // Moves a present id to the back; false when absent.
    bool move_to_back(const HashedText& key) noexcept {
        const std::uint32_t i = locate(key);
        if (i == kNone) return false;
        move_to_back_at(i);
        return true;
    }
    // Moves the entry at `i` to the back (its place stays).
    void move_to_back_at(std::uint32_t i) noexcept {
        if (i == tail_) return;
        unlink(i);
        link_back(i);
    }

    bool erase(const HashedText& key) noexcept {
        const Keys keys(*this);
        const std::uint32_t i = table_.erase(narrow(key), keys);
        if (i == kNone) return false;
        drop(i, keys);
        return true;
    }
    // Erases the entry at `i`, found by its place: no second comparison of its id.
    void erase_at(std::uint32_t i) noexcept {
        const Keys keys(*this);
        table_.remove(i, keys);
        drop(i, keys);
    }
    // Erases the entry at `i` that locate() just found, the map unchanged since.
    void erase_at(std::uint32_t i, Found found) noexcept {
        const Keys keys(*this);
        table_.remove(i, found, keys);
        drop(i, keys);
    }

    // Drops ids from the front until at most `capacity` remain.
    void trim_front(std::size_t capacity) noexcept {
        while (size_ > capacity) erase_at(head_);
    }

    // Forgets every id and gives all the memory back.
    [[gnu::noinline]] void clear() noexcept {
        for (std::uint32_t i = 0; i < size_; ++i)
            if (at(i).on_heap()) delete[] at(i).heap();
        for (std::uint32_t c = 0; c < chunks_; ++c) delete[] directory_[c];
        delete[] directory_;
        directory_ = nullptr;
        chunks_ = directory_size_ = capacity_ = size_ = 0;
        head_ = tail_ = kNone;
        table_.clear();
    }

    // The chunks the slab holds.
    std::size_t chunks() const noexcept { return chunks_; }

private:
    // The table sees the low half of the hash, which is all an entry keeps.
    static HashedText narrow(const HashedText& key) noexcept {
        return HashedText(key.text, static_cast<std::uint32_t>(key.hash));
    }

    const Entry& at(std::uint32_t i) const noexcept { return directory_[i >> kChunkBits][i & (kChunk - 1)]; }
    Entry& at(std::uint32_t i) noexcept { return directory_[i >> kChunkBits][i & (kChunk - 1)]; }

    // The place of `key` and whether it was appended (with `value`) just now.
    std::pair<std::uint32_t, bool> add(const HashedText& key, bool to_back_if_present, const V& value) {
        const Keys keys(*this);
        typename Table::Vacancy vacancy;
        if (const std::uint32_t i = table_.find(key, vacancy, keys); i != kNone) {
            if (to_back_if_present) move_to_back_at(i);
            return {i, false};
        }
        if (key.text.size() >= Entry::kPacked || size_ == kNone - 1) throw std::bad_alloc();
        if (size_ == capacity_) grow();
        // Written in place before the table takes it: the table may read it as it grows.
        const std::uint32_t i = size_;
        Entry& e = at(i);
        e.hash = static_cast<std::uint32_t>(key.hash);
        e.form = static_cast<std::uint32_t>(key.text.size());
        if constexpr (!kSet) e.value = value;
        if (detail::pack_uuid(key.text, e.key)) {
            e.form |= Entry::kPacked;
        } else if (e.on_heap()) {
            char* text = new char[key.text.size()];
            std::memcpy(text, key.text.data(), key.text.size());
            std::memcpy(e.key, &text, sizeof text);
        } else if (!key.text.empty()) {
            std::memcpy(e.key, key.text.data(), key.text.size());
        }
        try {
            table_.insert(key, i, vacancy, keys);
        } catch (...) {
            if (e.on_heap()) delete[] e.heap();
            throw;
        }
        ++size_;
        link_back(i);
        return {i, true};
    }

    void link_back(std::uint32_t i) noexcept {
        Entry& e = at(i);
        e.prev = tail_;
        e.next = kNone;
        (tail_ == kNone ? head_ : at(tail_).next) = i;
        tail_ = i;
    }
    void unlink(std::uint32_t i) noexcept {
        Entry& e = at(i);
        (e.prev == kNone ? head_ : at(e.prev).next) = e.next;
        (e.next == kNone ? tail_ : at(e.next).prev) = e.prev;
    }

    // Takes out entry `i`, already out of the table: the last entry moves into its place.
    void drop(std::uint32_t i, const Keys& keys) noexcept {
        unlink(i);
        if (at(i).on_heap()) delete[] at(i).heap();
        const std::uint32_t last = --size_;
        if (i != last) {
            table_.rename(last, i, keys);
            Entry& e = at(i);
            e = at(last);
            (e.prev == kNone ? head_ : at(e.prev).next) = i;
            (e.next == kNone ? tail_ : at(e.next).prev) = i;
        }
        give_back(keys);
    }

    // `count` new entries; when that fails, a `directory` made for them is freed, so nothing
    // has changed.
    Entry* new_entries(std::uint32_t count, Entry** directory) {
        try {
            return new Entry[count];
        } catch (...) {
            if (directory != directory_) delete[] directory;
            throw;
        }
    }

    // Room for one more entry; throws std::bad_alloc with nothing changed.
    [[gnu::noinline]] void grow() {
        if (capacity_ < kChunk) {
            const std::uint32_t capacity = capacity_ ? capacity_ * 2 : kFirstChunk;
            Entry** directory = directory_ ? directory_ : new Entry*[1];
            Entry* first = new_entries(capacity, directory);
            if (directory_) {
                std::memcpy(first, directory_[0], sizeof(Entry) * size_);
                delete[] directory_[0];
            } else {
                directory_ = directory;
                directory_size_ = chunks_ = 1;
            }
            directory_[0] = first;
            capacity_ = capacity;
            return;
        }
        Entry** directory = directory_;
        if (chunks_ == directory_size_) {
            directory = new Entry*[directory_size_ * 2];
            std::memcpy(directory, directory_, sizeof(Entry*) * chunks_);
        }
        Entry* chunk = new_entries(kChunk, directory);
        if (directory != directory_) {
            delete[] directory_;
            directory_ = directory;
            directory_size_ *= 2;
        }
        directory_[chunks_++] = chunk;
        capacity_ += kChunk;
    }

    // Frees the last chunk once the entries fill no more than half a chunk short of the ones
    // before it, so that an id coming and going at a chunk's edge does not free and allocate it
    // each time; halves the first chunk at a quarter full; shrinks the table. An allocation that
    // fails here only leaves the memory in place.
    void give_back(const Keys& keys) noexcept {
        if (chunks_ > 1) {
            if (size_ + kChunk / 2 <= (chunks_ - 1) * kChunk) {
                delete[] directory_[--chunks_];
                capacity_ -= kChunk;
            }
        } else if (capacity_ > kFirstChunk && size_ * 4 <= capacity_) {
            if (Entry* first = new (std::nothrow) Entry[capacity_ / 2]) {
                std::memcpy(first, directory_[0], sizeof(Entry) * size_);
                delete[] directory_[0];
                directory_[0] = first;
                capacity_ /= 2;
            }
        }
        table_.shrink(keys);
    }

    void steal(IdMap& other) noexcept {
        table_ = std::move(other.table_);
        directory_ = std::exchange(other.directory_, nullptr);
        chunks_ = std::exchange(other.chunks_, 0);
        directory_size_ = std::exchange(other.directory_size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        size_ = std::exchange(other.size_, 0);
        head_ = std::exchange(other.head_, kNone);
        tail_ = std::exchange(other.tail_, kNone);
    }

    Table table_;
    Entry** directory_ = nullptr;    // the chunks; the first may be smaller than kChunk
    std::uint32_t chunks_ = 0;
    std::uint32_t directory_size_ = 0;
    std::uint32_t capacity_ = 0;     // entries the chunks hold
    std::uint32_t size_ = 0;         // entries, at indices 0 to size_ - 1
    std::uint32_t head_ = kNone, tail_ = kNone;
};

using IdSet = IdMap<NoValue>;
static_assert(sizeof(detail::IdEntry<NoValue>) == 32);

}  // namespace qsc
