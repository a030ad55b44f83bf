// Fixed strings (parameter names, dict keys) interned in each interpreter that imports the module.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

#include "core/enums.hpp"
#include "py/frame/python.hpp"
#include "py/frame/state.hpp"

namespace qsc::py {

class DictShape;

// The slots of the per-interpreter cache (ModuleState::cached). Every Interned, every signature
// parameter and every DictShape takes one as it is constructed; all of them have static storage
// duration, so the list is complete once the library is loaded, before any interpreter can run
// the exec slot, and only read after.
namespace cache {
int add_string(std::string_view text) noexcept;
int add_template(const DictShape* shape) noexcept;
int slot_count() noexcept;
// The slot count, after which adding a slot is a defect (it would not be in the states built).
int seal() noexcept;
// Interns the strings, then builds the templates from them; false with an exception set.
bool fill(ModuleState& state) noexcept;
}  // namespace cache

class Interned {
public:
    // `text` must have static storage duration.
    explicit Interned(std::string_view text) noexcept : text_(text), slot_(cache::add_string(text)) {}
    Interned(const Interned&) = delete;
    Interned& operator=(const Interned&) = delete;

    PyObject* get() const noexcept { return state().cached(slot_); }
    std::string_view text() const noexcept { return text_; }
    int slot() const noexcept { return slot_; }

private:
    std::string_view text_;
    int slot_;
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
