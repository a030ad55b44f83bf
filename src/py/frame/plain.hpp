// Plain values: built of nothing but exact dicts with str keys, lists, tuples, strs, ints, floats,
// bools and None. Reading one runs no Python code, so what the general JSON conversion would
// make of it can be had straight from the objects, without the JSON model in between.
#pragma once

#include "py/frame/python.hpp"

namespace qsc::py {

// Whether json_from_py would convert `o` without running Python code and without an error.
// No exception is left set either way.
bool is_plain(PyObject* o);

// json_to_py(json_from_py(o)) for a plain `o`: dicts copied with their keys in sorted order,
// tuples as lists, the caller's strs handed back. Null, with no exception set, for anything
// else (or when memory runs out): the general conversion then answers.
PyObject* plain_sorted_copy(PyObject* o);

}  // namespace qsc::py
