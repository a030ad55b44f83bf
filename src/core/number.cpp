#include "core/number.hpp"

#include <charconv>
#include <cmath>

namespace qsc {

std::string format_number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // Shortest round-trip in fixed notation; the smallest subnormal needs about 330 digits.
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

}  // namespace qsc
