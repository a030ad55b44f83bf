// Result builders for lists and optional strings.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "py/frame/python.hpp"
#include "py/frame/ref.hpp"

namespace qsc::py {

PyObject* str(std::string_view s);
PyObject* str_or_none(const std::optional<std::string>& s);
PyObject* str_or_none(const std::optional<std::string_view>& s);

// An int of an unsigned number. PyLong_FromLong makes a one-digit int (a ticket, a count)
// without counting its digits, which 3.11's PyLong_FromUnsignedLongLong does for any int.
inline PyObject* unsigned_int(std::uint64_t n) noexcept {
    return n <= static_cast<std::uint64_t>(LONG_MAX) ? PyLong_FromLong(static_cast<long>(n))
                                                     : PyLong_FromUnsignedLongLong(n);
}

// A list built item by item, with room made for the items expected: more are appended, fewer
// leave a list of those given. The first failure drops the list.
class ListBuilder {
public:
    explicit ListBuilder(std::size_t expected) : list_(Ref::steal(PyList_New(static_cast<Py_ssize_t>(expected)))) {}
    // False once an item failed: nothing more need be made.
    bool ok() const noexcept { return static_cast<bool>(list_); }
    // Takes a new reference, or nullptr with an exception set.
    bool add(PyObject* item);
    // The list, or nullptr with the exception set.
    PyObject* release();

private:
    Ref list_;
    Py_ssize_t next_ = 0;
};

// A new list of make(item) for each item; make returns a new reference, or nullptr with an
// exception set.
template <class Range, class Make>
PyObject* list_of(const Range& items, Make&& make) {
    ListBuilder list(std::size(items));
    for (const auto& item : items)
        if (!list.add(make(item))) return nullptr;
    return list.release();
}

// The text of an id, or of an entry keyed by its id.
template <class Entry>
std::string_view id_text(const Entry& entry) noexcept {
    if constexpr (requires { entry.first; }) return entry.first;
    else return entry;
}

// A list of the ids of a container (of its entries' keys), in its order.
template <class Range>
PyObject* ids_of(const Range& ids) {
    return list_of(ids, [](const auto& entry) { return str(id_text(entry)); });
}

// A list of (id, number) pairs of a container of entries keyed by id, in its order.
template <class Range>
PyObject* id_pairs_of(const Range& entries) {
    return list_of(entries, [](const auto& entry) -> PyObject* {
        Ref id = Ref::steal(str(id_text(entry)));
        Ref number = id ? Ref::steal(unsigned_int(entry.second)) : Ref();
        return number ? PyTuple_Pack(2, id.get(), number.get()) : nullptr;
    });
}

}  // namespace qsc::py
