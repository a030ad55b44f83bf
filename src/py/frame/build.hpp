// Result builders for lists and optional strings.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "py/frame/python.hpp"
#include "py/frame/ref.hpp"

namespace qsc::py {

PyObject* str_or_none(const std::optional<std::string>& s);
PyObject* str_or_none(const std::optional<std::string_view>& s);

// A new list of make(item) for each item; make returns a new reference, or nullptr with an
// exception set.
template <class Range, class Make>
PyObject* list_of(const Range& items, Make&& make) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyObject* element = make(item);
        if (!element) return nullptr;
        PyList_SET_ITEM(list.get(), i++, element);
    }
    return list.release();
}

}  // namespace qsc::py
