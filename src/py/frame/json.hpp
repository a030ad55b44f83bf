// The bridge between Python objects and the core's JSON values.
#pragma once

#include <optional>

#include "core/json.hpp"
#include "py/frame/convert.hpp"
#include "py/frame/python.hpp"

namespace qsc::py {

enum class Origins : bool {
    // Strings remember the Python str they came from, and json_to_py hands that str back.
    // Only for values that live within one call, converted after the last argument whose
    // conversion may run Python code.
    Track,
    // For values the module keeps.
    Drop,
};

// Python → JSON by the fixed conversion rules. False with an exception set: TypeError with the
// conversion's text, or the interpreter's RecursionError / MemoryError.
bool json_from_py(PyObject* o, Json& out, Origins origins = Origins::Track);

// None (or absent) is no value; otherwise as json_from_py.
bool optional_json_from_py(PyObject* o, std::optional<Json>& out, Origins origins = Origins::Track);

// Argument slot `i` as a JSON value; a failure carries the note naming the parameter.
bool json_arg(const Args& a, int i, Json& out, Origins origins);
bool optional_json_arg(const Args& a, int i, std::optional<Json>& out, Origins origins);

// JSON → Python: objects become dicts with keys in sorted order; integral floats stay floats.
PyObject* json_to_py(const Json& value);

}  // namespace qsc::py
