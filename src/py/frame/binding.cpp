#include "py/frame/binding.hpp"

namespace qsc::py {

PyObject* str(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

PyObject* str(const TextRef& s) {
    if (s.origin) return new_ref(static_cast<PyObject*>(const_cast<void*>(s.origin)));
    return str(s.text);
}

PyObject* float_or_none(const std::optional<double>& v) {
    if (!v) Py_RETURN_NONE;
    return PyFloat_FromDouble(*v);
}

}  // namespace qsc::py
