// A method body that needs nothing but its arguments converted in signature order, the core
// method called with them, and the result converted back (nothing becomes None).
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "py/frame/binding.hpp"
#include "py/frame/build.hpp"
#include "py/frame/enums.hpp"

namespace qsc::py {

// Results of core methods as Python values.
inline PyObject* to_python(bool b) noexcept { return boolean(b); }
template <std::unsigned_integral N>
    requires(!std::same_as<N, bool>)
PyObject* to_python(N n) noexcept {
    return unsigned_int(n);
}
inline PyObject* to_python(const std::optional<std::uint64_t>& n) noexcept {
    if (!n) Py_RETURN_NONE;
    return unsigned_int(*n);
}
template <class E>
    requires std::is_enum_v<E> && requires { EnumTraits<E>::id; }
PyObject* to_python(E value) noexcept {
    return variant(value);
}
// A container of ids (or of entries keyed by id), null for none: a list of strs in its order.
template <class Ids>
    requires requires(const Ids& ids) { std::begin(ids); }
PyObject* to_python(const Ids* ids) {
    return ids ? ids_of(*ids) : PyList_New(0);
}

// Params are the argument types as the converters produce them, one per signature slot; `f`
// receives what each hands the core.
template <class... Params, class F>
PyObject* with_args(const Args& a, F&& f) {
    std::tuple<Params...> values;
    const bool converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (a.get(static_cast<int>(I), std::get<I>(values)) && ...);
    }(std::index_sequence_for<Params...>{});
    if (!converted) return nullptr;
    return std::apply([&](const auto&... v) { return f(value_of(v)...); }, values);
}

// What a core method returns as a Python value; returning nothing is None.
template <class Call>
PyObject* result_of(Call&& call) {
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
        return none();
    } else {
        return to_python(call());
    }
}

template <class Obj, auto Method, class... Params>
PyObject* delegate(Obj& self, const Args& a) {
    return with_args<Params...>(a, [&](const auto&... v) {
        return result_of([&] { return std::invoke(Method, self.value, v...); });
    });
}

// For a method that begins an operation under the object's next ticket and answers that ticket
// or None. The int is made before the object changes: without memory for it nothing changes.
template <class Obj, auto Method, class... Params>
PyObject* delegate_ticketed(Obj& self, const Args& a) {
    return with_args<Params...>(a, [&](const auto&... v) -> PyObject* {
        const std::uint64_t next = self.value.next_ticket();
        Ref answer = Ref::steal(unsigned_int(next));
        if (!answer) return nullptr;
        const std::optional<std::uint64_t> ticket = std::invoke(Method, self.value, v...);
        if (!ticket) return none();
        QSC_ASSERT(*ticket == next, "a ticket other than the next one was handed out");
        return answer.release();
    });
}

template <class Obj, auto Method>
PyObject* delegate_noargs(Obj& self) {
    return result_of([&] { return std::invoke(Method, self.value); });
}

}  // namespace qsc::py
