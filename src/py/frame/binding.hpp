// Turns a binding body into a C entry point: match arguments, take the object's use, run the
// body guarded. Every function, method, property and constructor of the module goes through here.
#pragma once

#include <array>

#include "py/frame/convert.hpp"
#include "py/frame/errors.hpp"
#include "py/frame/object.hpp"
#include "py/frame/ref.hpp"
#include "py/frame/signature.hpp"

namespace qsc::py {

using FunctionBody = PyObject* (*)(const Args&);
using NoArgsBody = PyObject* (*)();
template <class Obj>
using MethodBody = PyObject* (*)(Obj&, const Args&);
template <class Obj>
using NoArgsMethodBody = PyObject* (*)(Obj&);
using ConstructorBody = PyObject* (*)(const Args&);

// Each entry point first checks that the current state is the one it needs (EntryCheck, in
// frame/state.hpp); when it is not, it runs again inside a scope that makes it so.

template <const Signature& S, FunctionBody F>
PyObject* call_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!EntryCheck::callers()) [[unlikely]]
        return enter_and_call(&call_function<S, F>, nullptr, kNoType, module, args, nargs, kwnames);
    return guarded([&]() -> PyObject* {
        Args a(S);
        if (!a.match(args, nargs, kwnames)) return nullptr;
        return F(a);
    });
}

template <NoArgsBody F>
PyObject* call_noargs(PyObject* module, PyObject* unused) {
    if (!EntryCheck::callers()) [[unlikely]] return enter_and_call(&call_noargs<F>, nullptr, kNoType, module, unused);
    return guarded([&] { return F(); });
}

template <class Obj, Use U, const Signature& S, MethodBody<Obj> F>
PyObject* call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr TypeSlot slot = type_slot(Obj::id);
    if (!EntryCheck::owns(self, slot)) [[unlikely]]
        return enter_and_call(&call_method<Obj, U, S, F>, self, slot, self, args, nargs, kwnames);
    // Matching builds its error texts in C++ strings: it runs guarded too.
    return guarded([&]() -> PyObject* {
        Args a(S);
        if (!a.match(args, nargs, kwnames)) return nullptr;
        UseGuard use(self, U);
        if (!use) return nullptr;
        return F(as<Obj>(self), a);
    });
}

template <class Obj, Use U, NoArgsMethodBody<Obj> F>
PyObject* call_method_noargs(PyObject* self, PyObject* unused) {
    constexpr TypeSlot slot = type_slot(Obj::id);
    if (!EntryCheck::owns(self, slot)) [[unlikely]]
        return enter_and_call(&call_method_noargs<Obj, U, F>, self, slot, self, unused);
    return guarded([&]() -> PyObject* {
        UseGuard use(self, U);
        if (!use) return nullptr;
        return F(as<Obj>(self));
    });
}

template <class Obj, NoArgsMethodBody<Obj> F>
PyObject* call_getter(PyObject* self, void*) {
    return call_method_noargs<Obj, Use::Shared, F>(self, nullptr);
}

template <const Signature& S, ConstructorBody F>
PyObject* call_constructor(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    if (!EntryCheck::callers()) [[unlikely]]
        return enter_and_call(&call_constructor<S, F>, nullptr, kNoType, type, args, nargsf, kwnames);
    return guarded([&]() -> PyObject* {
        Args a(S);
        if (!a.match(args, PyVectorcall_NARGS(nargsf), kwnames)) return nullptr;
        return F(a);
    });
}

// A class that Python constructs through `New`; its docstring is the constructor's.
template <const Signature& New, ConstructorBody F>
PyTypeObject* make_class(ClassSpec spec, PyMethodDef* methods, PyGetSetDef* getset = nullptr) {
    spec.doc = New.doc();
    spec.construct = &call_constructor<New, F>;
    spec.methods = methods;
    spec.getset = getset;
    return make_class(spec);
}

// A class of results that only the module creates.
template <class Obj>
PyTypeObject* make_result_class(const char* name, const char* doc, PyGetSetDef* getset) {
    ClassSpec spec = class_spec<Obj>(name, doc);
    spec.getset = getset;
    return make_class(spec);
}

// Method tables. The docstring (text signature first) comes from the signature.
template <const Signature& S, FunctionBody F>
PyMethodDef function_def() {
    return {S.name(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_function<S, F>)),
            METH_FASTCALL | METH_KEYWORDS, S.doc()};
}

template <const Signature& S, NoArgsBody F>
PyMethodDef noargs_def() {
    return {S.name(), &call_noargs<F>, METH_NOARGS, S.doc()};
}

template <const Signature& S, FunctionBody F>
PyMethodDef static_def() {
    PyMethodDef def = function_def<S, F>();
    def.ml_flags |= METH_STATIC;
    return def;
}

template <const Signature& S, NoArgsBody F>
PyMethodDef static_noargs_def() {
    PyMethodDef def = noargs_def<S, F>();
    def.ml_flags |= METH_STATIC;
    return def;
}

template <class Obj, Use U, const Signature& S, MethodBody<Obj> F>
PyMethodDef method_def() {
    return {S.name(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_method<Obj, U, S, F>)),
            METH_FASTCALL | METH_KEYWORDS, S.doc()};
}

template <class Obj, Use U, const Signature& S, NoArgsMethodBody<Obj> F>
PyMethodDef method_noargs_def() {
    return {S.name(), &call_method_noargs<Obj, U, F>, METH_NOARGS, S.doc()};
}

template <class Obj, NoArgsMethodBody<Obj> F>
PyGetSetDef getter_def(const char* name, const char* doc = nullptr) {
    return {name, &call_getter<Obj, F>, nullptr, doc, nullptr};
}

inline constexpr PyMethodDef kMethodsEnd{nullptr, nullptr, 0, nullptr};
inline constexpr PyGetSetDef kGetSetEnd{nullptr, nullptr, nullptr, nullptr, nullptr};

// Common result builders.
inline PyObject* none() noexcept { Py_RETURN_NONE; }
inline PyObject* boolean(bool b) noexcept { return new_ref(b ? Py_True : Py_False); }
PyObject* str(std::string_view s);
// A str of bytes known to be ASCII, copied in without decoding them.
PyObject* ascii_str(std::string_view s);
// The origin str itself when there is one, else a new str.
PyObject* str(const TextRef& s);
PyObject* float_or_none(const std::optional<double>& v);

}  // namespace qsc::py
