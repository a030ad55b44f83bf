// The enumeration classes: one table-driven builder for all twenty, one shared instance per
// variant.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/enums.hpp"
#include "py/frame/python.hpp"
#include "py/frame/state.hpp"

namespace qsc::py {

struct EnumObject {
    PyObject_HEAD
    std::uint8_t enum_id;
    std::uint8_t value;
    PyObject* wire;  // the interned wire name, str() of the variant: no state needed to answer it
};

inline std::uint8_t enum_value(PyObject* o) noexcept { return reinterpret_cast<EnumObject*>(o)->value; }

// A new reference to the variant's single instance.
template <class E>
PyObject* variant(E value) noexcept {
    PyObject* o = state().variants[static_cast<int>(EnumTraits<E>::id)][static_cast<int>(value)];
    Py_INCREF(o);
    return o;
}

// A new reference to the variant's wire name.
template <class E>
PyObject* variant_wire_name(E value) noexcept {
    PyObject* o = state().variants[static_cast<int>(EnumTraits<E>::id)][static_cast<int>(value)];
    PyObject* wire = reinterpret_cast<EnumObject*>(o)->wire;
    Py_INCREF(wire);
    return wire;
}

template <class E>
PyObject* optional_variant(const std::optional<E>& value) noexcept {
    if (!value) Py_RETURN_NONE;
    return variant(*value);
}

// Room for `from_wire_name`, the extra methods and the end marker.
inline constexpr int kEnumMethodSlots = 3;

// Use make_enum_class: it checks the room for the extra methods.
PyTypeObject* build_enum_class(EnumId id, const PyMethodDef* extra_methods);

// Builds the class and its variant instances.
inline PyTypeObject* make_enum_class(EnumId id) { return build_enum_class(id, nullptr); }

// The same, with extra methods; `extra` ends with its end marker.
template <std::size_t N>
PyTypeObject* make_enum_class(EnumId id, const PyMethodDef (&extra)[N]) {
    static_assert(N + 1 <= kEnumMethodSlots, "raise kEnumMethodSlots");
    return build_enum_class(id, extra);
}

}  // namespace qsc::py
