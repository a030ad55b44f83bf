// Plain values: built of nothing but exact dicts with str keys, lists, tuples, strs, ints, floats,
// bools and None. Reading one runs no Python code, so what the general JSON conversion would
// make of it can be had straight from the objects, without the JSON model in between.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "py/frame/interned.hpp"
#include "py/frame/python.hpp"

namespace qsc::py {

// The first eight bytes of a key as a big-endian number, zero-padded: keys whose heads differ are
// ordered by them, byte-wise.
constexpr std::uint64_t key_head(std::string_view text) noexcept {
    std::uint64_t head = 0;
    for (std::size_t i = 0; i < 8; ++i) head = head << 8 | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0u);
    return head;
}

// The kinds of plain values, one bit each: what a shape accepts is a mask of them.
enum PlainKind : std::uint8_t {
    kPlainStr = 1,
    kPlainNone = 2,
    kPlainBool = 4,
    kPlainInt = 8,
    kPlainFloat = 16,
    kPlainDict = 32,
    kPlainList = 64,  // or tuple
    kPlainAny = 127,
};

// What a walk also requires of a plain value on its way, so that one pass both reads and checks
// it; and the little normalising it may do on the way (filling in empty values). No shape (null)
// requires nothing.
struct PlainShape {
    enum class Need : std::uint8_t { Any, String, NullableString, Bool, NullableInt, Dict, List };
    struct Field {
        std::string_view key;
        const PlainShape* shape;
        bool required = false;
        // The key as a str: a field whose shape is filled is added, empty, where it is absent.
        const Interned* name = nullptr;
        // The fields marked so in one shape are there all or none.
        bool together = false;
        std::uint64_t head = key_head(key);
    };

    Need need = Need::Any;
    // Dict: the named fields' shapes, in ascending byte order of key; other keys may be anything.
    std::span<const Field> fields{};
    const PlainShape* items = nullptr;  // List (or tuple): every item's shape
    // Null reads as the empty value: a Dict holding its filled fields, an empty List, false.
    bool filled = false;
    // String: one of these, when any are given.
    std::span<const std::string_view> allowed{};
    std::uint8_t accepts = kinds_for(need, filled);
    // How many fields are required, and how many go together.
    std::uint8_t required = count(fields, &Field::required);
    std::uint8_t together = count(fields, &Field::together);
    // A dict read in its own order finds its fields here: each field's position + 1 at the slot
    // its key hashes to, or the next free one; 0 where none is.
    static constexpr std::size_t kSlots = 32;
    std::array<std::uint8_t, kSlots> index = index_of(fields);

    static constexpr std::size_t slot_of(std::uint64_t head, std::size_t size) noexcept {
        return static_cast<std::size_t>(((head ^ size) * 0x9E3779B97F4A7C15ull) >> 59);
    }
    static constexpr std::array<std::uint8_t, kSlots> index_of(std::span<const Field> fields) {
        std::array<std::uint8_t, kSlots> out{};
        if (fields.size() >= kSlots) throw "too many fields for the index";  // not a constant: fails the build
        for (std::size_t i = 0; i < fields.size(); ++i) {
            std::size_t slot = slot_of(fields[i].head, fields[i].key.size());
            while (out[slot] != 0) slot = (slot + 1) % kSlots;
            out[slot] = static_cast<std::uint8_t>(i + 1);
        }
        return out;
    }

    static constexpr std::uint8_t count(std::span<const Field> fields, bool Field::*flag) noexcept {
        std::uint8_t n = 0;
        for (const Field& field : fields) n += field.*flag;
        return n;
    }
    static constexpr std::uint8_t kinds_for(Need need, bool filled) noexcept {
        const std::uint8_t empty = filled ? kPlainNone : 0;
        switch (need) {
            case Need::Any: return kPlainAny;
            case Need::String: return kPlainStr;
            case Need::NullableString: return kPlainStr | kPlainNone;
            case Need::Bool: return kPlainBool | empty;
            case Need::NullableInt: return kPlainInt | kPlainNone;
            case Need::Dict: return kPlainDict | empty;
            case Need::List: return kPlainList | empty;
        }
        return 0;
    }
};

// Whether a table of fields is one a walk can use: sorted, a name for each filled field, no
// required field in a shape that may be filled (its empty value would lack it). For static_assert.
constexpr bool well_formed(std::span<const PlainShape::Field> fields) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const PlainShape::Field& field = fields[i];
        if (i > 0 && !(fields[i - 1].key < field.key)) return false;
        if (field.shape->filled && (!field.name || field.required || field.together)) return false;
        if (field.shape->need == PlainShape::Need::Dict && field.shape->filled)
            for (const PlainShape::Field& inner : field.shape->fields)
                if (inner.required) return false;
    }
    return true;
}

// Whether json_from_py would convert `o` without running Python code and without an error, and
// `o` has `shape`. No exception is left set either way. With `fields`, a dict `o`'s value of
// each of the shape's fields is put in `fields` at the field's position (borrowed; untouched
// for a field it lacks).
bool is_plain(PyObject* o, const PlainShape* shape = nullptr, PyObject** fields = nullptr);

// json_to_py(json_from_py(o)) for a plain `o` of `shape`, with its filled fields filled: dicts
// copied with their keys in sorted order, tuples as lists, the caller's strs, ints and finite
// floats handed back. Null, with no exception set, for anything else (or when memory runs out):
// the general conversion then answers. The shape is checked on what is copied, whatever a
// finaliser run meanwhile does to the caller's objects.
PyObject* plain_sorted_copy(PyObject* o, const PlainShape* shape = nullptr);

}  // namespace qsc::py
