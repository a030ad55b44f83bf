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

bool ListBuilder::add(PyObject* item) {
    Ref owned = Ref::steal(item);
    if (!list_ || !owned) {
        list_ = Ref();
        return false;
    }
    if (next_ < PyList_GET_SIZE(list_.get())) {
        PyList_SET_ITEM(list_.get(), next_++, owned.release());
        return true;
    }
    if (PyList_Append(list_.get(), owned.get()) < 0) {
        list_ = Ref();
        return false;
    }
    ++next_;
    return true;
}

PyObject* ListBuilder::release() {
    // Slots never filled may not be seen: cut them off.
    if (list_ && next_ < PyList_GET_SIZE(list_.get()) &&
        PyList_SetSlice(list_.get(), next_, PyList_GET_SIZE(list_.get()), nullptr) < 0)
        return nullptr;
    return list_.release();
}

}  // namespace qsc::py
