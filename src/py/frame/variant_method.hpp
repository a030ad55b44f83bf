// Methods of enumeration variants. A variant is immutable and shared, so there is no use to take.
#pragma once

#include "py/frame/binding.hpp"
#include "py/frame/enums.hpp"

namespace qsc::py {

template <class E>
using VariantMethodBody = PyObject* (*)(E, const Args&);

template <class E, const Signature& S, VariantMethodBody<E> F>
PyObject* call_variant_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr TypeSlot slot = type_slot(EnumTraits<E>::id);
    if (!EntryCheck::owns(self, slot)) [[unlikely]]
        return enter_and_call(&call_variant_method<E, S, F>, self, slot, self, args, nargs, kwnames);
    // Matching builds its error texts in C++ strings: it runs guarded too.
    return guarded([&]() -> PyObject* {
        Args a(S);
        if (!a.match(args, nargs, kwnames)) return nullptr;
        return F(static_cast<E>(enum_value(self)), a);
    });
}

template <class E, const Signature& S, VariantMethodBody<E> F>
PyMethodDef variant_method_def() {
    return {S.name(),
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_variant_method<E, S, F>)),
            METH_FASTCALL | METH_KEYWORDS, S.doc()};
}

}  // namespace qsc::py
