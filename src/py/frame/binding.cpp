#include "py/frame/binding.hpp"

#include <cstring>

namespace qsc::py {

// Encoded surrogates decode too: they are a Name's, given back as it was given.
PyObject* str(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
}

PyObject* ascii_str(std::string_view s) {
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
    if (text) std::memcpy(PyUnicode_DATA(text), s.data(), s.size());
    return text;
}

PyObject* str(const TextRef& s) {
    if (s.origin) return new_ref(static_cast<PyObject*>(const_cast<void*>(s.origin)));
    return str(s.text);
}

PyObject* float_or_none(const std::optional<double>& v) {
    if (!v) Py_RETURN_NONE;
    return PyFloat_FromDouble(*v);
}

}  // namespace qsc::py
