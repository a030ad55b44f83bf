// The string hash of the ledgers' tables, and keys hashed once per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace qsc {

namespace detail {

inline std::uint64_t load64(const unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Folds the 128-bit product: every input bit reaches every output bit.
inline std::uint64_t fold(std::uint64_t a, std::uint64_t b) noexcept {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

}  // namespace detail

// A word-at-a-time string hash: ids are 20 to 40 bytes, where a byte-wise hash spends most of
// a lookup. Low bits are well mixed, so tables may index by mask.
inline std::uint64_t hash_text(std::string_view s) noexcept {
    constexpr std::uint64_t k0 = 0x9e3779b97f4a7c15ull, k1 = 0xbf58476d1ce4e5b9ull, k2 = 0x94d049bb133111ebull;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size();
    std::uint64_t h = k0 ^ n;
    if (n > 16) {
        const unsigned char* end = p + n;
        for (; n > 16; n -= 16, p += 16) h = detail::fold(detail::load64(p) ^ k1, detail::load64(p + 8) ^ h);
        // The last 16 bytes, some perhaps hashed already; never a byte past the end.
        return detail::fold(detail::fold(detail::load64(end - 16) ^ k1, detail::load64(end - 8) ^ h), k2);
    }
    if (n >= 8) return detail::fold(detail::fold(detail::load64(p) ^ k1, detail::load64(p + n - 8) ^ h), k2);
    std::uint64_t tail = 0;
    if (n >= 4) {
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        tail = (static_cast<std::uint64_t>(hi) << 32) | lo;
    } else if (n > 0) {
        tail = (static_cast<std::uint64_t>(p[0]) << 16) | (static_cast<std::uint64_t>(p[n / 2]) << 8) | p[n - 1];
    }
    return detail::fold(detail::fold(tail ^ k1, h), k2);
}

// A key hashed once, on construction: a call that probes several tables with the same id
// pays for one hash.
struct HashedText {
    std::string_view text;
    std::uint64_t hash;

    // Implicit from any string type, so a probe needs no spelled-out conversion.
    template <class S>
        requires std::is_convertible_v<const S&, std::string_view>
    HashedText(const S& s) noexcept : text(s), hash(hash_text(text)) {}
    // A key whose hash is known already (a stored entry's, say).
    HashedText(std::string_view s, std::uint64_t h) noexcept : text(s), hash(h) {}
    operator std::string_view() const noexcept { return text; }
};

}  // namespace qsc
