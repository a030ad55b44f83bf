// The enumeration classes: one table-driven builder for all twenty, one shared instance per
// variant.
#pragma once

#include <cstdint>

#include "core/enums.hpp"
#include "py/frame/python.hpp"
#include "py/frame/state.hpp"

namespace qsc::py {

struct EnumObject {
    PyObject_HEAD
    std::uint8_t enum_id;
    std::uint8_t value;
};

inline std::uint8_t enum_value(PyObject* o) noexcept { return reinterpret_cast<EnumObject*>(o)->value; }

// A new reference to the variant's single instance.
template <class E>
PyObject* variant(E value) noexcept {
    PyObject* o = state().variants[static_cast<int>(EnumTraits<E>::id)][static_cast<int>(value)];
    Py_INCREF(o);
    return o;
}

template <class E>
PyObject* optional_variant(const std::optional<E>& value) noexcept {
    if (!value) Py_RETURN_NONE;
    return variant(*value);
}

// Builds the class and its variant instances; extra methods (may be null) are added to it.
PyTypeObject* make_enum_class(EnumId id, PyMethodDef* extra_methods = nullptr);

}  // namespace qsc::py
