// The interpreter's private calls the module makes, each with a public fallback. The fallback is
// taken on an interpreter that lacks the call, or in a build with QSC_PUBLIC_API_ONLY.
#pragma once

#include <cstddef>

#include "py/frame/python.hpp"

#if !defined(QSC_PUBLIC_API_ONLY) && PY_VERSION_HEX < 0x030E0000
#define QSC_PRIVATE_API 1
#else
#define QSC_PRIVATE_API 0
#endif

namespace qsc::py {

// A dict with room for `size` items: none of the items set next makes it grow.
inline PyObject* new_dict(Py_ssize_t size) {
#if QSC_PRIVATE_API
    return _PyDict_NewPresized(size);
#else
    (void)size;
    return PyDict_New();
#endif
}

// The bits of an int's magnitude, read from its digits: an int subclass's own methods are not
// run. (size_t)-1 with an exception set when the count does not fit.
inline std::size_t int_bits(PyObject* value) {
#if QSC_PRIVATE_API
    return _PyLong_NumBits(value);
#else
    PyObject* bits = PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyLong_Type), "bit_length", "O", value);
    if (!bits) return static_cast<std::size_t>(-1);
    const std::size_t count = PyLong_AsSize_t(bits);
    Py_DECREF(bits);
    return count;
#endif
}

}  // namespace qsc::py
