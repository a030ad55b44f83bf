// Fixed strings (parameter names, dict keys) interned once when the module is first imported.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

#include "core/enums.hpp"
#include "py/frame/python.hpp"

namespace qsc::py {

class Interned {
public:
    // `text` must have static storage duration.
    explicit Interned(std::string_view text) noexcept;
    Interned(const Interned&) = delete;
    Interned& operator=(const Interned&) = delete;

    PyObject* get() const noexcept { return obj_; }
    std::string_view text() const noexcept { return text_; }

    // Interns every instance declared so far; false with an exception set on failure.
    static bool intern_all() noexcept;

private:
    std::string_view text_;
    PyObject* obj_ = nullptr;
    Interned* next_;
    static inline Interned* head_ = nullptr;
};

// The wire names of a closed set answered as strs, interned with the others.
template <class E, class = std::make_index_sequence<ClosedSet<E>::count>>
struct WireNames;
template <class E, std::size_t... I>
struct WireNames<E, std::index_sequence<I...>> {
    Interned names[sizeof...(I)]{Interned{ClosedSet<E>::variants[I].wire}...};
    PyObject* operator[](E value) const noexcept { return names[static_cast<int>(value)].get(); }
};
template <class E>
inline WireNames<E> wire_names;

}  // namespace qsc::py
