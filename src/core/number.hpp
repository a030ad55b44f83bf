// Number helpers shared by every area: message formatting and saturating counts.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace qsc {

// Shortest decimal that reads back to the same double, never in exponent form;
// "inf", "-inf" and "NaN" for the special values.
std::string format_number(double value);

template <class U>
constexpr U saturating_add(U a, U b) noexcept {
    U sum = static_cast<U>(a + b);
    return sum < a ? std::numeric_limits<U>::max() : sum;
}

template <class U>
constexpr U saturating_increment(U a) noexcept {
    return saturating_add<U>(a, U{1});
}

// A counter of handed-out numbers (epochs, tickets, tokens). It starts at 0, is never reset,
// and at the largest value hands out nothing more.
class Counter {
public:
    std::optional<std::uint64_t> next() noexcept {
        if (next_ == std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
        return next_++;
    }
    std::uint64_t peek() const noexcept { return next_; }
    bool exhausted() const noexcept { return next_ == std::numeric_limits<std::uint64_t>::max(); }

private:
    std::uint64_t next_ = 0;
};

}  // namespace qsc
