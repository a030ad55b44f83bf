// Numbers whose accepted range is part of their parameter's type. The value is converted first:
// a wrong type, or an int beyond the C type where CPython's own conversion is the rule, is a
// conversion error with the note. The range is checked afterwards (Args::get, Args::get_all) and
// refused with a plain ValueError "`{name}` must be {what}, got {value}".
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>

#include "core/runtime/time.hpp"
#include "py/frame/convert.hpp"

namespace qsc::py {

// The one range error; `context` goes before the name.
QSC_COLD bool out_of_range(std::string_view name, std::string_view what, std::string_view value,
                           std::string_view context = {});

// How an integer is read before its range is checked.
enum class IntRead : std::uint8_t {
    Exact,     // an int (or subclass) only, its exact value checked however large
    Signed64,  // CPython's conversion to a signed 64-bit int (__index__ honoured, OverflowError beyond)
};
enum class IntWords : std::uint8_t { Between, NonNegative };

template <class T, std::uint64_t Lo, std::uint64_t Hi, IntRead Read = IntRead::Exact,
          IntWords Words = IntWords::Between>
struct Ranged {
    static_assert(Lo <= Hi && Hi <= std::numeric_limits<T>::max());
    T value{};
    std::conditional_t<Read == IntRead::Exact, PyObject*, std::int64_t> given{};
};

bool exact_in_range(std::string_view name, IntWords words, std::uint64_t lo, std::uint64_t hi, PyObject* given,
                    std::uint64_t& out);
QSC_COLD bool int_out_of_range(std::string_view name, IntWords words, std::uint64_t lo, std::uint64_t hi,
                               std::int64_t value);

template <class T, std::uint64_t Lo, std::uint64_t Hi, IntRead Read, IntWords Words>
bool convert(PyObject* o, Ranged<T, Lo, Hi, Read, Words>& out) {
    if constexpr (Read == IntRead::Exact) {
        if (!PyLong_Check(o)) return raise_not_instance(o, "int"), false;
        out.given = o;
        return true;
    } else {
        return convert(o, out.given);
    }
}

template <class T, std::uint64_t Lo, std::uint64_t Hi, IntRead Read, IntWords Words>
bool check_range(Ranged<T, Lo, Hi, Read, Words>& r, std::string_view name) {
    std::uint64_t v = 0;
    if constexpr (Read == IntRead::Exact) {
        if (!exact_in_range(name, Words, Lo, Hi, r.given, v)) return false;
    } else {
        v = static_cast<std::uint64_t>(r.given);
        if (r.given < 0 || v < Lo || v > Hi) return int_out_of_range(name, Words, Lo, Hi, r.given);
    }
    r.value = static_cast<T>(v);
    return true;
}

// A number read as CPython's conversion to float reads it (an int, __float__, __index__), then
// checked into V: Elapsed for `now_s`, JitterSample for `jitter_sample`, Duration for other
// seconds (saturating at the largest duration).
template <class V>
struct FloatArg {
    double given = 0;
    V value{};
};
using NowS = FloatArg<Elapsed>;
using Jitter = FloatArg<JitterSample>;
using Seconds = FloatArg<Duration>;

template <class V>
bool convert(PyObject* o, FloatArg<V>& out) {
    return convert(o, out.given);
}
bool check_range(NowS& v, std::string_view name);
bool check_range(Jitter& v, std::string_view name);
bool check_range(Seconds& v, std::string_view name);

template <class T, std::uint64_t Lo, std::uint64_t Hi, IntRead Read, IntWords Words>
T value_of(const Ranged<T, Lo, Hi, Read, Words>& arg) noexcept {
    return arg.value;
}
template <class V>
V value_of(const FloatArg<V>& arg) noexcept {
    return arg.value;
}

}  // namespace qsc::py
