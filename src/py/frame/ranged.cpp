#include "py/frame/ranged.hpp"

#include <cmath>
#include <string>

#include "core/error.hpp"
#include "core/number.hpp"

namespace qsc::py {

bool out_of_range(std::string_view name, std::string_view what, std::string_view value, std::string_view context) {
    raise_value_error(cat({context, "`", name, "` must be ", what, ", got ", value}));
    return false;
}

namespace {
std::string int_range(IntWords words, std::uint64_t lo, std::uint64_t hi) {
    if (words == IntWords::NonNegative) return "a non-negative integer";
    return cat({"an integer between ", std::to_string(lo), " and ", std::to_string(hi)});
}

QSC_COLD bool int_out_of_range(std::string_view name, IntWords words, std::uint64_t lo, std::uint64_t hi,
                               PyObject* value) {
    // int's own repr: a subclass's __repr__ is not run.
    Ref text = Ref::steal(PyLong_Type.tp_repr(value));
    std::string_view digits;
    if (!text || !utf8_view(text.get(), digits)) return false;
    return out_of_range(name, int_range(words, lo, hi), digits);
}
}  // namespace

bool int_out_of_range(std::string_view name, IntWords words, std::uint64_t lo, std::uint64_t hi,
                      std::int64_t value) {
    return out_of_range(name, int_range(words, lo, hi), std::to_string(value));
}

bool exact_in_range(std::string_view name, IntWords words, std::uint64_t lo, std::uint64_t hi, PyObject* given,
                    std::uint64_t& out) {
    out = PyLong_AsUnsignedLongLong(given);  // an int subclass's own methods are not run
    if (out == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();  // negative, or beyond 64 bits: outside any range here
        return int_out_of_range(name, words, lo, hi, given);
    }
    return (out >= lo && out <= hi) || int_out_of_range(name, words, lo, hi, given);
}

namespace {
constexpr std::string_view kNonNegative = "a finite, non-negative number";
}

bool check_range(NowS& v, std::string_view name) {
    auto elapsed = Elapsed::checked(v.given);
    if (!elapsed) return out_of_range(name, kNonNegative, format_number(v.given));
    v.value = *elapsed;
    return true;
}

bool check_range(Jitter& v, std::string_view name) {
    auto jitter = JitterSample::checked(v.given);
    if (!jitter) return out_of_range(name, "a finite number between 0.0 and 1.0", format_number(v.given));
    v.value = *jitter;
    return true;
}

bool check_range(Seconds& v, std::string_view name) {
    if (!(v.given >= 0.0) || std::isinf(v.given)) return out_of_range(name, kNonNegative, format_number(v.given));
    v.value = duration_from_secs_f64(v.given, Duration::max());
    return true;
}

}  // namespace qsc::py
