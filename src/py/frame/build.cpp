#include "py/frame/build.hpp"

#include "py/frame/binding.hpp"

namespace qsc::py {

PyObject* str_or_none(const std::optional<std::string>& s) {
    if (!s) Py_RETURN_NONE;
    return str(*s);
}

PyObject* str_or_none(const std::optional<std::string_view>& s) {
    if (!s) Py_RETURN_NONE;
    return str(*s);
}

}  // namespace qsc::py
