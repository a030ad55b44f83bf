// Integer arguments whose range is checked against their exact value, however large, and
// refused with "`{name}` must be an integer between {lo} and {hi}, got {value}".
#pragma once

#include <cstdint>
#include <string_view>

#include "py/frame/python.hpp"

namespace qsc::py {

// A Python int (or subclass) as given, borrowed for the call.
struct IntArg {
    PyObject* obj = nullptr;
};

// Accepts int and its subclasses only; anything else is "not an instance of 'int'".
bool convert(PyObject* o, IntArg& out);

// False with the range ValueError set when `value` lies outside [lo, hi] (hi below 2^63).
bool in_range(std::string_view name, IntArg value, std::uint64_t lo, std::uint64_t hi, std::uint64_t& out);

}  // namespace qsc::py
