#include "py/frame/sequence.hpp"

#include "py/frame/convert.hpp"
#include "py/frame/errors.hpp"

namespace qsc::py {

bool convert(PyObject* o, StrSequence& out) {
    if (PyUnicode_Check(o)) {
        raise_type_error("Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) {
        raise_not_instance(o, "Sequence");
        return false;
    }
    Ref items = Ref::steal(PySequence_Tuple(o));  // may run Python code (__iter__, __getitem__)
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    std::vector<std::string_view> views;
    views.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::string_view view;
        if (!convert(PyTuple_GET_ITEM(items.get(), i), view)) return false;
        views.push_back(view);
    }
    out.items = std::move(items);
    out.views = std::move(views);
    return true;
}

}  // namespace qsc::py
