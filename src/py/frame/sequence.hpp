// Sequences across the boundary: a sequence-of-str argument, and lists built from core ranges.
#pragma once

#include <iterator>
#include <span>
#include <string_view>
#include <vector>

#include "py/frame/python.hpp"
#include "py/frame/ref.hpp"

namespace qsc::py {

// A sequence of str (a list, a tuple, any object passing the sequence check; a str itself is
// refused). It is read once into a tuple that holds every item, so the views stay valid whatever
// Python code running later does to the original sequence.
struct StrSequence {
    Ref items;
    std::vector<std::string_view> views;

    operator std::span<const std::string_view>() const noexcept { return views; }
};

bool convert(PyObject* o, StrSequence& out);

// A new list with one item per element of `range`; `item` returns a new reference, or nullptr
// with an exception set.
template <class Range, class F>
PyObject* list_of(const Range& range, F&& item) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(range))));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& element : range) {
        PyObject* o = item(element);
        if (!o) return nullptr;
        PyList_SET_ITEM(list.get(), i++, o);
    }
    return list.release();
}

}  // namespace qsc::py
