#include "py/frame/integer.hpp"

#include <string>

#include "core/error.hpp"
#include "py/frame/convert.hpp"
#include "py/frame/errors.hpp"
#include "py/frame/ref.hpp"

namespace qsc::py {

bool convert(PyObject* o, IntArg& out) {
    if (!PyLong_Check(o)) {
        raise_not_instance(o, "int");
        return false;
    }
    out.obj = o;
    return true;
}

namespace {
QSC_COLD bool out_of_range(std::string_view name, PyObject* value, std::uint64_t lo, std::uint64_t hi) {
    // int's own repr: a subclass's __repr__ is not run.
    Ref text = Ref::steal(PyLong_Type.tp_repr(value));
    std::string_view digits;
    if (!text || !utf8_view(text.get(), digits)) return false;
    raise_value_error(cat({"`", name, "` must be an integer between ", std::to_string(lo), " and ",
                           std::to_string(hi), ", got ", digits}));
    return false;
}
}  // namespace

bool in_range(std::string_view name, IntArg value, std::uint64_t lo, std::uint64_t hi, std::uint64_t& out) {
    int overflow = 0;
    const long long raw = PyLong_AsLongLongAndOverflow(value.obj, &overflow);
    if (raw == -1 && PyErr_Occurred()) return false;
    if (overflow || raw < 0 || static_cast<std::uint64_t>(raw) < lo || static_cast<std::uint64_t>(raw) > hi)
        return out_of_range(name, value.obj, lo, hi);
    out = static_cast<std::uint64_t>(raw);
    return true;
}

}  // namespace qsc::py
