// A method body that needs nothing but its arguments converted in signature order, the core
// method called with them, and the result converted back.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "py/frame/binding.hpp"
#include "py/frame/enums.hpp"

namespace qsc::py {

// Results of core methods as Python values.
inline PyObject* to_python(bool b) noexcept { return boolean(b); }
inline PyObject* to_python(const std::optional<std::uint64_t>& n) noexcept {
    if (!n) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*n);
}
template <class E>
    requires std::is_enum_v<E> && requires { EnumTraits<E>::id; }
PyObject* to_python(E value) noexcept {
    return variant(value);
}

// Converts the arguments in signature order and hands them to `call`. Params are the argument
// types as the converters produce them, one per signature slot.
template <class... Params, class Call>
PyObject* with_arguments(const Args& a, Call&& call) {
    std::tuple<Params...> values;
    const bool converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (a.get(static_cast<int>(I), std::get<I>(values)) && ...);
    }(std::index_sequence_for<Params...>{});
    if (!converted) return nullptr;
    return std::apply(call, values);
}

template <class Obj, auto Method, class... Params>
PyObject* delegate(Obj& self, const Args& a) {
    return with_arguments<Params...>(a, [&](auto&... v) { return to_python(std::invoke(Method, self.value, v...)); });
}

// For a method that begins an operation under the object's next ticket and answers that ticket
// or None. The int is made before the object changes: without memory for it nothing changes.
template <class Obj, auto Method, class... Params>
PyObject* delegate_ticketed(Obj& self, const Args& a) {
    return with_arguments<Params...>(a, [&](auto&... v) -> PyObject* {
        const std::uint64_t next = self.value.next_ticket();
        Ref answer = Ref::steal(PyLong_FromUnsignedLongLong(next));
        if (!answer) return nullptr;
        const std::optional<std::uint64_t> ticket = std::invoke(Method, self.value, v...);
        if (!ticket) return none();
        QSC_ASSERT(*ticket == next, "a ticket other than the next one was handed out");
        return answer.release();
    });
}

template <class Obj, auto Method>
PyObject* delegate_noargs(Obj& self) {
    if constexpr (std::is_void_v<decltype(std::invoke(Method, self.value))>) {
        std::invoke(Method, self.value);
        return none();
    } else {
        return to_python(std::invoke(Method, self.value));
    }
}

}  // namespace qsc::py
