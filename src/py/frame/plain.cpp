#include "py/frame/plain.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/json.hpp"
#include "py/frame/compat.hpp"
#include "py/frame/convert.hpp"
#include "py/frame/nesting.hpp"
#include "py/frame/ref.hpp"

namespace qsc::py {

namespace {

// Deeper values take the general path, which reports its own limit; nesting is counted as the
// general conversion counts it, so that both refuse the same values.
constexpr int kPlainDepth = 200;

bool plain_text(PyObject* str) {
    std::string_view text;
    return utf8_view(str, text);
}

// A new int of the value, when the JSON model holds it (signed or unsigned 64 bits); null with
// OverflowError set when not.
PyObject* model_int(PyObject* o) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) return PyLong_FromLongLong(value);
    if (overflow < 0) return nullptr;
    const unsigned long long big = PyLong_AsUnsignedLongLong(o);
    return big == static_cast<unsigned long long>(-1) && PyErr_Occurred() ? nullptr : PyLong_FromUnsignedLongLong(big);
}

bool plain_int(PyObject* o) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow <= 0) return overflow == 0;
    const unsigned long long big = PyLong_AsUnsignedLongLong(o);
    return !(big == static_cast<unsigned long long>(-1) && PyErr_Occurred());
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

// Whether the value's own kind is what `shape` needs; its insides are checked as they are read.
bool kind_fits(PyObject* o, const PlainShape& shape) {
    switch (shape.need) {
        case PlainShape::Need::Any: return true;
        case PlainShape::Need::String: return PyUnicode_CheckExact(o);
        case PlainShape::Need::NullableString: return o == Py_None || PyUnicode_CheckExact(o);
        case PlainShape::Need::Dict: return PyDict_CheckExact(o);
        case PlainShape::Need::List: return PyList_CheckExact(o) || PyTuple_CheckExact(o);
    }
    return false;
}

// Whether every field the shape requires is among `met`.
bool required_met(const PlainShape* shape, int met) noexcept {
    if (!shape) return true;
    int required = 0;
    for (const PlainShape::Field& field : shape->fields) required += field.required;
    return met == required;
}

// The shape a dict's member must have, by a scan: for a dict read in its own order.
const PlainShape* member_shape(const PlainShape* shape, std::string_view key, int& met) noexcept {
    if (!shape) return nullptr;
    for (const PlainShape::Field& field : shape->fields) {
        if (!text_equal(field.key, key)) continue;
        met += field.required;
        return field.shape;
    }
    return nullptr;
}

const PlainShape* items_of(const PlainShape* shape) noexcept { return shape ? shape->items : nullptr; }

class Checker {
public:
    bool value(PyObject* o, const PlainShape* shape);

private:
    bool container(PyObject* o, const PlainShape* shape);
    int depth_ = 0;
};

bool Checker::value(PyObject* o, const PlainShape* shape) {
    if (shape && !kind_fits(o, *shape)) return false;
    PyTypeObject* type = Py_TYPE(o);
    if (type == &PyUnicode_Type) return plain_text(o);
    if (o == Py_None || type == &PyBool_Type || type == &PyFloat_Type) return true;
    if (type == &PyLong_Type) return plain_int(o);
    if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type) return container(o, shape);
    return false;
}

bool Checker::container(PyObject* o, const PlainShape* shape) {
    Nesting level(depth_, kPlainDepth);
    if (!level) return false;
    if (PyDict_CheckExact(o)) {
        int met = 0;
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(o, &pos, &key, &item)) {
            std::string_view text;
            if (!PyUnicode_CheckExact(key) || !utf8_view(key, text) || !value(item, member_shape(shape, text, met)))
                return false;
        }
        return required_met(shape, met);
    }
    PyObject* const* items = PyList_CheckExact(o) ? PySequence_Fast_ITEMS(o) : &PyTuple_GET_ITEM(o, 0);
    for (Py_ssize_t i = 0, n = Py_SIZE(o); i < n; ++i)
        if (!value(items[i], items_of(shape))) return false;
    return true;
}

// Building the copy allocates, and a collection it sets off may run finalisers that change the
// source: a dict's keys and values are held while it is copied, lists are read by index.
class Copier {
public:
    Copier() { members_.reserve(64); }
    PyObject* value(PyObject* o, const PlainShape* shape);

private:
    struct Member {
        PyObject* key;
        PyObject* source;
        PyObject* copy;
        const PlainShape* shape;
        const char* data;
        std::size_t size;
        std::uint64_t head;  // the first eight bytes as a big-endian number, zero-padded

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
                Py_DECREF(all_[i].source);
                Py_XDECREF(all_[i].copy);
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
    bool shape_members(std::size_t base, const PlainShape* shape) noexcept;
    void sort(std::size_t base) noexcept;

    std::vector<Member> members_;
    int depth_ = 0;
};

PyObject* Copier::value(PyObject* o, const PlainShape* shape) {
    if (shape && !kind_fits(o, *shape)) return nullptr;
    PyTypeObject* type = Py_TYPE(o);
    if (type == &PyUnicode_Type) return plain_text(o) ? new_ref(o) : nullptr;
    if (o == Py_None || type == &PyBool_Type) return new_ref(o);
    if (type == &PyLong_Type) return model_int(o);  // a new int, as the model gives back
    if (type == &PyFloat_Type) {
        const double d = PyFloat_AS_DOUBLE(o);
        return std::isfinite(d) ? PyFloat_FromDouble(d) : new_ref(Py_None);
    }
    if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type) return container(o, shape);
    return nullptr;
}

PyObject* Copier::container(PyObject* o, const PlainShape* shape) {
    Nesting level(depth_, kPlainDepth);
    if (!level) return nullptr;
    if (PyDict_CheckExact(o)) return dict(o, shape);
    if (PyList_CheckExact(o)) return list(o, items_of(shape));
    return tuple(o, items_of(shape));
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

// Gives the sorted members from `base` on the shapes of the fields they are, merging them with
// the shape's sorted fields; false when a required field is missing.
bool Copier::shape_members(std::size_t base, const PlainShape* shape) noexcept {
    if (!shape) return true;
    int met = 0;
    auto field = shape->fields.begin();
    for (std::size_t i = base; i < members_.size() && field != shape->fields.end();) {
        const int order = compare_keys(members_[i].head, members_[i].text(), field->head, field->key);
        if (order < 0) {
            ++i;
        } else if (order > 0) {
            ++field;
        } else {
            members_[i++].shape = field->shape;
            met += field->required;
            ++field;
        }
    }
    return required_met(shape, met);
}

PyObject* Copier::dict(PyObject* o, const PlainShape* shape) {
    Members level(members_);
    const std::size_t base = level.base();
    members_.reserve(base + static_cast<std::size_t>(PyDict_GET_SIZE(o)));
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(o, &pos, &key, &item)) {
        std::string_view text;
        if (!PyUnicode_CheckExact(key) || !utf8_view(key, text)) return nullptr;
        members_.push_back(Member{new_ref(key), new_ref(item), nullptr, nullptr, text.data(), text.size(), head_of(text)});
    }
    // Exact str keys of one dict never share their text: sorted, they are the model's order.
    sort(base);
    if (!shape_members(base, shape)) return nullptr;
    const std::size_t end = members_.size();
    for (std::size_t i = base; i < end; ++i) {
        PyObject* copy = value(members_[i].source, members_[i].shape);
        if (!copy) return nullptr;
        members_[i].copy = copy;
    }
    Ref out = Ref::steal(new_dict(static_cast<Py_ssize_t>(end - base)));
    if (!out) return nullptr;
    for (std::size_t i = base; i < end; ++i)
        if (PyDict_SetItem(out.get(), members_[i].key, members_[i].copy) < 0) return nullptr;
    return out.release();
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
