#include "py/frame/plain.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "py/frame/compat.hpp"
#include "py/frame/convert.hpp"
#include "py/frame/nesting.hpp"
#include "py/frame/ref.hpp"

namespace qsc::py {

namespace {

using Need = PlainShape::Need;
using Field = PlainShape::Field;

// Deeper values take the general path, which reports its own limit; nesting is counted as the
// general conversion counts it, so that both refuse the same values.
constexpr int kPlainDepth = 200;

bool plain_text(PyObject* str) {
    std::string_view text;
    return utf8_view(str, text);
}

// Whether the JSON model holds the int (signed or unsigned 64 bits).
bool plain_int(PyObject* o) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow <= 0) return overflow == 0;
    const unsigned long long big = PyLong_AsUnsignedLongLong(o);
    if (big != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) return true;
    PyErr_Clear();
    return false;
}

bool signed_int(PyObject* o) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(o, &overflow);
    return overflow == 0;
}

bool one_of(PyObject* str, std::span<const std::string_view> allowed) {
    std::string_view text;
    if (!utf8_view(str, text)) return false;
    return std::find(allowed.begin(), allowed.end(), text) != allowed.end();
}

std::uint64_t head_of(std::string_view text) noexcept {
    if (text.size() < 8) return key_head(text);
    std::uint64_t head;
    std::memcpy(&head, text.data(), 8);
    if constexpr (std::endian::native == std::endian::little) head = __builtin_bswap64(head);
    return head;
}

// Byte-wise order of two keys given with their heads.
int compare_keys(std::uint64_t a_head, std::string_view a, std::uint64_t b_head, std::string_view b) noexcept {
    if (a_head != b_head) return a_head < b_head ? -1 : 1;
    // Equal heads of short keys: the shorter is a prefix of the longer (padded with zeros).
    if (a.size() <= 8 && b.size() <= 8) return a.size() < b.size() ? -1 : a.size() > b.size();
    return a.compare(b);
}

// The field of `shape` named `text`, by a scan: for a dict read in its own order.
const Field* find_field(const PlainShape& shape, std::uint64_t head, std::string_view text) noexcept {
    for (const Field& field : shape.fields)
        if (field.head == head && field.key.size() == text.size() &&
            (text.size() <= 8 || std::memcmp(field.key.data() + 8, text.data() + 8, text.size() - 8) == 0))
            return &field;
    return nullptr;
}

bool required_met(const PlainShape& shape, int met) noexcept {
    int required = 0;
    for (const Field& field : shape.fields) required += field.required;
    return met == required;
}

const PlainShape* items_of(const PlainShape* shape) noexcept { return shape ? shape->items : nullptr; }

// Whether the value's own kind is what `shape` needs; a container's insides are checked as they
// are read.
bool fits(PyObject* o, const PlainShape& shape) {
    const bool empty = o == Py_None && shape.filled;
    switch (shape.need) {
        case Need::Any: return true;
        case Need::String: return PyUnicode_CheckExact(o) && (shape.allowed.empty() || one_of(o, shape.allowed));
        case Need::NullableString: return o == Py_None || PyUnicode_CheckExact(o);
        case Need::Bool: return PyBool_Check(o) || empty;
        case Need::NullableInt: return o == Py_None || (PyLong_CheckExact(o) && signed_int(o));
        case Need::Dict: return PyDict_CheckExact(o) || empty;
        case Need::List: return PyList_CheckExact(o) || PyTuple_CheckExact(o) || empty;
    }
    return false;
}

// What a plain value of `shape` becomes: itself, null (a float the model cannot hold), the
// shape's empty value, or a copy of a container.
enum class Plain : std::uint8_t { Refused, Same, Null, Empty, Container };

Plain classify(PyObject* o, const PlainShape* shape) {
    if (shape && !fits(o, *shape)) return Plain::Refused;
    PyTypeObject* type = Py_TYPE(o);
    if (type == &PyUnicode_Type) return plain_text(o) ? Plain::Same : Plain::Refused;
    if (o == Py_None) return shape && shape->filled ? Plain::Empty : Plain::Same;
    if (type == &PyBool_Type) return Plain::Same;
    if (type == &PyLong_Type) return plain_int(o) ? Plain::Same : Plain::Refused;
    if (type == &PyFloat_Type) return std::isfinite(PyFloat_AS_DOUBLE(o)) ? Plain::Same : Plain::Null;
    if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type) return Plain::Container;
    return Plain::Refused;
}

class Checker {
public:
    bool value(PyObject* o, const PlainShape* shape);

private:
    bool container(PyObject* o, const PlainShape* shape);
    bool dict(PyObject* o, const PlainShape* shape);
    int depth_ = 0;
};

bool Checker::value(PyObject* o, const PlainShape* shape) {
    const Plain plain = classify(o, shape);
    return plain == Plain::Container ? container(o, shape) : plain != Plain::Refused;
}

bool Checker::container(PyObject* o, const PlainShape* shape) {
    Nesting level(depth_, kPlainDepth);
    if (!level) return false;
    if (PyDict_CheckExact(o)) return dict(o, shape);
    PyObject* const* items = PyList_CheckExact(o) ? PySequence_Fast_ITEMS(o) : &PyTuple_GET_ITEM(o, 0);
    for (Py_ssize_t i = 0, n = Py_SIZE(o); i < n; ++i)
        if (!value(items[i], items_of(shape))) return false;
    return true;
}

bool Checker::dict(PyObject* o, const PlainShape* shape) {
    int met = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(o, &pos, &key, &item)) {
        std::string_view text;
        if (!PyUnicode_CheckExact(key) || !utf8_view(key, text)) return false;
        const Field* field = shape ? find_field(*shape, head_of(text), text) : nullptr;
        if (field) met += field->required;
        if (!value(item, field ? field->shape : nullptr)) return false;
    }
    return !shape || required_met(*shape, met);
}

// Building the copy allocates, and a collection it sets off may run finalisers that change the
// source: a dict's keys and values are held while it is copied, lists are read by index.
class Copier {
public:
    Copier() { members_.reserve(64); }
    PyObject* value(PyObject* o, const PlainShape* shape);

private:
    struct Member {
        std::uint64_t head;  // the first eight bytes as a big-endian number, zero-padded
        const char* data;
        std::size_t size;
        const PlainShape* shape;
        PyObject* key;
        PyObject* value;  // the source's, then its copy

        std::string_view text() const noexcept { return {data, size}; }
        // Byte-wise order: most keys differ within their first eight bytes.
        bool operator<(const Member& other) const noexcept {
            return compare_keys(head, text(), other.head, other.text()) < 0;
        }
    };

    // The members of one dict, on top of its parents', released when it is done.
    class Members {
    public:
        explicit Members(std::vector<Member>& all) noexcept : all_(all), base_(all.size()) {}
        Members(const Members&) = delete;
        Members& operator=(const Members&) = delete;
        ~Members() {
            for (std::size_t i = base_; i < all_.size(); ++i) {
                Py_DECREF(all_[i].key);
                Py_DECREF(all_[i].value);
            }
            all_.resize(base_);
        }
        std::size_t base() const noexcept { return base_; }

    private:
        std::vector<Member>& all_;
        std::size_t base_;
    };

    PyObject* container(PyObject* o, const PlainShape* shape);
    PyObject* dict(PyObject* o, const PlainShape* shape);
    PyObject* list(PyObject* o, const PlainShape* items);
    PyObject* tuple(PyObject* o, const PlainShape* items);
    PyObject* empty(const PlainShape& shape);
    bool collect(PyObject* o);
    void sort(std::size_t base) noexcept;
    bool match_fields(std::size_t base, const PlainShape& shape);
    PyObject* build(std::size_t base);

    std::vector<Member> members_;
    int depth_ = 0;
};

PyObject* Copier::value(PyObject* o, const PlainShape* shape) {
    switch (classify(o, shape)) {
        case Plain::Refused: return nullptr;
        case Plain::Same: return new_ref(o);
        case Plain::Null: return new_ref(Py_None);
        case Plain::Empty: return empty(*shape);
        case Plain::Container: return container(o, shape);
    }
    return nullptr;
}

PyObject* Copier::container(PyObject* o, const PlainShape* shape) {
    Nesting level(depth_, kPlainDepth);
    if (!level) return nullptr;
    if (PyDict_CheckExact(o)) return dict(o, shape);
    if (PyList_CheckExact(o)) return list(o, items_of(shape));
    return tuple(o, items_of(shape));
}

PyObject* Copier::empty(const PlainShape& shape) {
    if (shape.need == Need::Bool) return new_ref(Py_False);
    if (shape.need == Need::List) return PyList_New(0);
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    for (const Field& field : shape.fields) {
        if (!field.name) continue;
        Ref value = Ref::steal(empty(*field.shape));
        if (!value || PyDict_SetItem(out.get(), field.name->get(), value.get()) < 0) return nullptr;
    }
    return out.release();
}

bool Copier::collect(PyObject* o) {
    members_.reserve(members_.size() + static_cast<std::size_t>(PyDict_GET_SIZE(o)));
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(o, &pos, &key, &item)) {
        std::string_view text;
        if (!PyUnicode_CheckExact(key) || !utf8_view(key, text)) return false;
        members_.push_back(Member{head_of(text), text.data(), text.size(), nullptr, new_ref(key), new_ref(item)});
    }
    return true;
}

void Copier::sort(std::size_t base) noexcept {
    Member* first = members_.data() + base;
    Member* last = members_.data() + members_.size();
    if (last - first > 32) return std::sort(first, last);
    for (Member* i = first + 1; i < last; ++i) {
        const Member moving = *i;
        Member* j = i;
        for (; j > first && moving < j[-1]; --j) *j = j[-1];
        *j = moving;
    }
}

// Gives the sorted members from `base` the shapes of the fields they are, merging them with the
// shape's sorted fields, and adds the filled fields that are absent; false when a required field
// is missing.
bool Copier::match_fields(std::size_t base, const PlainShape& shape) {
    std::size_t i = base;
    for (const Field& field : shape.fields) {
        int order = 1;
        while (i < members_.size() &&
               (order = compare_keys(members_[i].head, members_[i].text(), field.head, field.key)) < 0)
            ++i;
        if (i < members_.size() && order == 0) {
            members_[i++].shape = field.shape;
        } else if (field.required) {
            return false;
        } else if (field.name) {
            const Member filled{field.head, field.key.data(), field.key.size(), field.shape, field.name->get(), Py_None};
            members_.insert(members_.begin() + static_cast<std::ptrdiff_t>(i++), filled);
            Py_INCREF(filled.key);
            Py_INCREF(filled.value);
        }
    }
    return true;
}

PyObject* Copier::build(std::size_t base) {
    Ref out = Ref::steal(new_dict(static_cast<Py_ssize_t>(members_.size() - base)));
    if (!out) return nullptr;
    for (std::size_t i = base; i < members_.size(); ++i)
        if (PyDict_SetItem(out.get(), members_[i].key, members_[i].value) < 0) return nullptr;
    return out.release();
}

PyObject* Copier::dict(PyObject* o, const PlainShape* shape) {
    Members level(members_);
    const std::size_t base = level.base();
    if (!collect(o)) return nullptr;
    // Exact str keys of one dict never share their text: sorted, they are the model's order.
    sort(base);
    if (shape && !match_fields(base, *shape)) return nullptr;
    for (std::size_t i = base; i < members_.size(); ++i) {
        // Indexed anew: a nested dict's members may move the vector.
        PyObject* copy = value(members_[i].value, members_[i].shape);
        if (!copy) return nullptr;
        Py_SETREF(members_[i].value, copy);
    }
    return build(base);
}

PyObject* Copier::list(PyObject* o, const PlainShape* items) {
    const Py_ssize_t n = PyList_GET_SIZE(o);
    Ref out = Ref::steal(PyList_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Changed under us: the general path reads it as it is now.
        if (PyList_GET_SIZE(o) != n) return nullptr;
        Ref item = Ref::borrow(PyList_GET_ITEM(o, i));
        PyObject* copy = value(item.get(), items);
        if (!copy) return nullptr;
        PyList_SET_ITEM(out.get(), i, copy);
    }
    return PyList_GET_SIZE(o) == n ? out.release() : nullptr;
}

PyObject* Copier::tuple(PyObject* o, const PlainShape* items) {
    const Py_ssize_t n = PyTuple_GET_SIZE(o);
    Ref out = Ref::steal(PyList_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* copy = value(PyTuple_GET_ITEM(o, i), items);
        if (!copy) return nullptr;
        PyList_SET_ITEM(out.get(), i, copy);
    }
    return out.release();
}

}  // namespace

bool is_plain(PyObject* o, const PlainShape* shape) {
    if (Checker().value(o, shape)) return true;
    PyErr_Clear();
    return false;
}

PyObject* plain_sorted_copy(PyObject* o, const PlainShape* shape) {
    PyObject* copy = Copier().value(o, shape);
    if (!copy) PyErr_Clear();
    return copy;
}

}  // namespace qsc::py
