#include "py/frame/convert.hpp"

#include "py/frame/ref.hpp"

namespace qsc::py {

bool utf8_view_slow(PyObject* str, std::string_view& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool convert(PyObject* o, std::string_view& out) {
    if (!PyUnicode_Check(o)) {
        raise_not_instance(o, "str");
        return false;
    }
    return utf8_view(o, out);
}

bool convert(PyObject* o, TextRef& out) {
    if (!convert(o, out.text)) return false;
    out.origin = PyUnicode_CheckExact(o) ? o : nullptr;
    return true;
}

bool convert(PyObject* o, Name& out) {
    if (convert(o, static_cast<TextRef&>(out))) return true;
    if (!PyUnicode_Check(o) || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    out.held = Ref::steal(PyUnicode_AsEncodedString(o, "utf-8", "surrogatepass"));
    if (!out.held) return false;
    PyObject* bytes = out.held.get();
    out.text = std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    out.origin = PyUnicode_CheckExact(o) ? o : nullptr;
    return true;
}

bool convert(PyObject* o, bool& out) {
    if (!PyBool_Check(o)) {
        raise_not_instance(o, "bool");
        return false;
    }
    out = o == Py_True;
    return true;
}

bool convert(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    out = PyFloat_AsDouble(o);  // int, __float__, __index__: may run Python code
    return !(out == -1.0 && PyErr_Occurred());
}

namespace {
template <class T, class Read>
bool read_int(PyObject* o, T& out, Read read) {
    if (PyLong_CheckExact(o)) {
        out = read(o);
        return !(out == static_cast<T>(-1) && PyErr_Occurred());
    }
    Ref index = Ref::steal(PyNumber_Index(o));  // may run Python code
    if (!index) return false;
    out = read(index.get());
    return !(out == static_cast<T>(-1) && PyErr_Occurred());
}
}  // namespace

bool convert(PyObject* o, std::int64_t& out) {
    return read_int(o, out, [](PyObject* i) { return static_cast<std::int64_t>(PyLong_AsLongLong(i)); });
}

bool convert(PyObject* o, std::uint64_t& out) {
    return read_int(o, out, [](PyObject* i) { return static_cast<std::uint64_t>(PyLong_AsUnsignedLongLong(i)); });
}

}  // namespace qsc::py
