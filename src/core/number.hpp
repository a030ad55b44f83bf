// Number helpers shared by every area: message formatting and saturating counts.
#pragma once

#include <cstdint>
#include <limits>
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

}  // namespace qsc
