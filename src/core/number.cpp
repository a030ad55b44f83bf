#include "core/number.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace qsc {

std::string format_number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // Fixed notation from to_chars prints a large value's exact binary expansion
    // (1e23 as 99999999999999991611392); the shortest digits come from the scientific form,
    // laid out here without an exponent.
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    std::string out;
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    const std::size_t e = sci.find('e');
    std::string digits(1, sci[0]);
    if (e > 1) digits.append(sci.substr(2, e - 2));  // skip the point
    const bool negative_exp = sci[e + 1] == '-';
    int exp = 0;
    std::from_chars(sci.data() + e + 2, sci.data() + sci.size(), exp);
    const long point = 1 + (negative_exp ? -exp : exp);  // digits before the decimal point
    const long count = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= count) {
        out += digits;
        out.append(static_cast<std::size_t>(point - count), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

}  // namespace qsc
