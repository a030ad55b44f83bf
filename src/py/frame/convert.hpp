// Argument slots and the converters every binding uses. A failed conversion raises the
// conversion error itself with the note "while processing '<param>'".
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/enums.hpp"
#include "core/text.hpp"
#include "py/frame/enums.hpp"
#include "py/frame/errors.hpp"
#include "py/frame/ref.hpp"
#include "py/frame/signature.hpp"
#include "py/frame/state.hpp"

namespace qsc::py {

// Each returns false with an exception set.
bool convert(PyObject* o, std::string_view& out);
bool convert(PyObject* o, bool& out);  // exactly bool
bool convert(PyObject* o, double& out);
// CPython's own conversions: __index__ is honoured, a value the type cannot hold is OverflowError.
bool convert(PyObject* o, std::int64_t& out);
bool convert(PyObject* o, std::uint64_t& out);
// A str's text without copying; the origin is the str itself when it is exactly a str, so a
// result can hand it back.
bool convert(PyObject* o, TextRef& out);

// A str that is looked up among names or ids. One with no UTF-8 form (a lone surrogate) is read
// with its surrogates encoded as they are: it matches nothing, and a text that shows it decodes
// back to the same str.
struct Name : TextRef {
    Ref held;  // that encoding, when one was made
};
bool convert(PyObject* o, Name& out);

template <class E>
    requires std::is_enum_v<E> && requires { EnumTraits<E>::id; }
bool convert(PyObject* o, E& out) {
    PyTypeObject* type = state().enums[static_cast<int>(EnumTraits<E>::id)];
    if (Py_TYPE(o) != type) {
        raise_not_instance(o, EnumTraits<E>::class_name.data());
        return false;
    }
    out = static_cast<E>(enum_value(o));
    return true;
}

// None (or an absent optional argument) is the empty optional.
template <class T>
bool convert(PyObject* o, std::optional<T>& out) {
    if (o == nullptr || o == Py_None) {
        out.reset();
        return true;
    }
    T value{};
    if (!convert(o, value)) return false;
    out = std::move(value);
    return true;
}

// A value whose type also bounds it is checked after its conversion, without the note: a value
// out of range is not a conversion error.
template <class T>
bool check_range(T&, std::string_view) noexcept {
    return true;
}
template <class T>
bool check_range(std::optional<T>& value, std::string_view name) {
    return !value || check_range(*value, name);
}
// What a converted argument hands the core: itself, or the value its range check made.
template <class T>
const T& value_of(const T& arg) noexcept {
    return arg;
}
template <class T>
auto value_of(const std::optional<T>& arg) -> std::optional<std::remove_cvref_t<decltype(value_of(*arg))>> {
    if (!arg) return std::nullopt;
    return value_of(*arg);
}

// A str's UTF-8 text without copying; valid while the str lives. ASCII text is the str's own
// storage; other text is the UTF-8 copy the str caches on first use.
bool utf8_view_slow(PyObject* str, std::string_view& out);
inline bool utf8_view(PyObject* str, std::string_view& out) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        out = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
        return true;
    }
    return utf8_view_slow(str, out);
}

class Args {
public:
    explicit Args(const Signature& sig) noexcept : sig_(sig) {}
    Args(const Args&) = delete;  // view_ may point into this object
    Args& operator=(const Args&) = delete;

    bool match(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        args_ = args;
        nargs_ = nargs;
        kwnames_ = kwnames;
        // Every parameter given by position: the arguments are the slots, nothing to copy.
        if (!kwnames && sig_.all_positional(nargs)) {
            view_ = args;
            return true;
        }
        view_ = slots_;
        return sig_.match(args, nargs, kwnames, slots_);
    }
    PyObject* operator[](int i) const noexcept { return view_[i]; }
    bool given(int i) const noexcept { return view_[i] && view_[i] != Py_None; }
    const Signature& signature() const noexcept { return sig_; }

    template <class T>
    bool get(int i, T& out) const {
        return convert_at(i, out) && check_range(out, sig_.param(i));
    }
    // Parameters 0, 1, ... as constructors take them: every type first, then every range. An
    // absent parameter leaves its `out` as it was.
    template <class... T>
    bool get_all(T&... out) const {
        return [&]<int... I>(std::integer_sequence<int, I...>) {
            return ((!view_[I] || convert_at(I, out)) && ...) &&
                   ((!view_[I] || check_range(out, sig_.param(I))) && ...);
        }(std::make_integer_sequence<int, sizeof...(T)>{});
    }

    // Calls f(name, value) for each keyword argument that names no parameter, in call order,
    // while f returns true. Only a signature that collects extra keywords lets such through.
    template <class F>
    bool for_each_extra(F f) const {
        const Py_ssize_t count = kwnames_ ? PyTuple_GET_SIZE(kwnames_) : 0;
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames_, k);
            if (sig_.find(keyword) < 0 && !f(keyword, args_[nargs_ + k])) return false;
        }
        return true;
    }

private:
    template <class T>
    bool convert_at(int i, T& out) const {
        if (convert(view_[i], out)) return true;
        note_processing(sig_.param(i));
        return false;
    }

    const Signature& sig_;
    PyObject* slots_[kMaxParams];
    PyObject* const* view_ = slots_;  // the matched arguments: slots_, or the call's own array
    PyObject* const* args_ = nullptr;
    Py_ssize_t nargs_ = 0;
    PyObject* kwnames_ = nullptr;
};

}  // namespace qsc::py
