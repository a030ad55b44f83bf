// Sequences across the boundary: a sequence-of-str argument, and lists built from core ranges.
#pragma once

#include <iterator>
#include <span>
#include <string_view>
#include <vector>

#include "py/frame/build.hpp"
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

}  // namespace qsc::py
