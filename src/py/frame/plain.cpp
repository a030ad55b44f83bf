#include "py/frame/plain.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <type_traits>

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

// A str's text has a UTF-8 form (no lone surrogate), and is one of the shape's words if it names any.
bool plain_text(PyObject* str, const PlainShape* shape) {
    const bool any = !shape || shape->allowed.empty();
    // One byte a character: no surrogate, nothing to look at.
    if (any && PyUnicode_KIND(str) == PyUnicode_1BYTE_KIND) return true;
    std::string_view text;
    if (!utf8_view(str, text)) return false;
    return any || std::find(shape->allowed.begin(), shape->allowed.end(), text) != shape->allowed.end();
}

template <class T>
T big_endian(const char* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::little) {
        if constexpr (sizeof value == 8) value = __builtin_bswap64(value);
        else value = __builtin_bswap32(value);
    }
    return value;
}

// key_head without a loop: a short key is read in two overlapping loads.
[[gnu::always_inline]] inline std::uint64_t head_of(std::string_view text) noexcept {
    const char* p = text.data();
    const std::size_t n = text.size();
    if (n >= 8) return big_endian<std::uint64_t>(p);
    if (n >= 4) {
        const std::uint64_t front = big_endian<std::uint32_t>(p), back = big_endian<std::uint32_t>(p + n - 4);
        return front << 32 | back << (64 - 8 * n);
    }
    if (n == 0) return 0;
    const auto byte = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])} << (56 - 8 * i); };
    return byte(0) | byte(n / 2) | byte(n - 1);
}

// Byte-wise order of two keys given with their heads.
int compare_keys(std::uint64_t a_head, std::string_view a, std::uint64_t b_head, std::string_view b) noexcept {
    if (a_head != b_head) return a_head < b_head ? -1 : 1;
    // Equal heads of short keys: the shorter is a prefix of the longer (padded with zeros).
    if (a.size() <= 8 && b.size() <= 8) return a.size() < b.size() ? -1 : a.size() > b.size();
    // Equal heads and lengths up to sixteen bytes (a field found, most often): the last eight
    // bytes decide, the ones they share with the head being equal.
    if (a.size() == b.size() && a.size() <= 16) {
        const std::uint64_t a_tail = big_endian<std::uint64_t>(a.data() + a.size() - 8);
        const std::uint64_t b_tail = big_endian<std::uint64_t>(b.data() + b.size() - 8);
        return a_tail < b_tail ? -1 : a_tail > b_tail;
    }
    return a.compare(b);
}

// The field of `shape` named `text`, through the shape's index: for a dict read in its own order.
const Field* find_field(const PlainShape& shape, std::uint64_t head, std::string_view text) noexcept {
    for (std::size_t slot = PlainShape::slot_of(head, text.size());; slot = (slot + 1) % PlainShape::kSlots) {
        const std::uint8_t at = shape.index[slot];
        if (at == 0) return nullptr;
        const Field& field = shape.fields[at - 1];
        if (field.head == head && field.key.size() == text.size() && compare_keys(head, field.key, head, text) == 0)
            return &field;
    }
}

// The fields of a shape a dict has: those that count toward its constraints.
struct Met {
    int required = 0;
    int together = 0;

    void add(const Field& field) noexcept {
        required += field.required;
        together += field.together;
    }
    // Every required field, and all or none of those that go together.
    bool enough(const PlainShape& shape) const noexcept {
        return required == shape.required && (together == 0 || together == shape.together);
    }
};

const PlainShape* items_of(const PlainShape* shape) noexcept { return shape ? shape->items : nullptr; }

PlainKind kind_of(PyObject* o) noexcept {
    PyTypeObject* type = Py_TYPE(o);
    if (type == &PyUnicode_Type) return kPlainStr;
    if (o == Py_None) return kPlainNone;
    if (type == &PyDict_Type) return kPlainDict;
    if (type == &PyList_Type || type == &PyTuple_Type) return kPlainList;
    if (type == &PyLong_Type) return kPlainInt;
    if (type == &PyBool_Type) return kPlainBool;
    if (type == &PyFloat_Type) return kPlainFloat;
    return PlainKind{0};
}

// What a plain value of `shape` becomes: itself, null (a float the model cannot hold), the
// shape's empty value, or a copy of a container. Its kind is checked here; a container's insides
// are checked as they are read.
enum class Plain : std::uint8_t { Refused, Same, Null, Empty, Container };

[[gnu::always_inline]] inline Plain classify(PyObject* o, const PlainShape* shape) {
    const PlainKind kind = kind_of(o);
    if (!(kind & (shape ? shape->accepts : std::uint8_t{kPlainAny}))) return Plain::Refused;
    switch (kind) {
        case kPlainStr:
            if (PyUnicode_IS_COMPACT_ASCII(o) && (!shape || shape->allowed.empty())) return Plain::Same;
            return plain_text(o, shape) ? Plain::Same : Plain::Refused;
        case kPlainNone: return shape && shape->filled ? Plain::Empty : Plain::Same;
        case kPlainInt:
            if (shape && shape->need == Need::NullableInt) return signed_int(o) ? Plain::Same : Plain::Refused;
            return plain_int(o) ? Plain::Same : Plain::Refused;
        case kPlainFloat: return std::isfinite(PyFloat_AS_DOUBLE(o)) ? Plain::Same : Plain::Null;
        case kPlainDict:
        case kPlainList: return Plain::Container;
        default: return Plain::Same;
    }
}

class Checker {
public:
    explicit Checker(PyObject** fields) noexcept : fields_(fields) {}
    [[gnu::always_inline]] bool value(PyObject* o, const PlainShape* shape) {
        const Plain plain = classify(o, shape);
        return plain == Plain::Container ? container(o, shape) : plain != Plain::Refused;
    }

private:
    [[gnu::noinline]] bool container(PyObject* o, const PlainShape* shape);
    bool dict(PyObject* o, const PlainShape* shape);
    PyObject** fields_;  // the top dict's field values, when asked for
    int depth_ = 0;
};

bool Checker::container(PyObject* o, const PlainShape* shape) {
    Nesting level(depth_, kPlainDepth);
    if (!level) return false;
    if (PyDict_CheckExact(o)) return dict(o, shape);
    PyObject* const* items = PyList_CheckExact(o) ? PySequence_Fast_ITEMS(o) : &PyTuple_GET_ITEM(o, 0);
    for (Py_ssize_t i = 0, n = Py_SIZE(o); i < n; ++i)
        if (!value(items[i], items_of(shape))) return false;
    return true;
}

// No Python code runs while a value is checked, so a dict keeps its size: it is read that many
// times, without the call that would find its end.
bool Checker::dict(PyObject* o, const PlainShape* shape) {
    DictMembers members(o);
    PyObject *key, *item;
    const Py_ssize_t n = PyDict_GET_SIZE(o);
    if (!shape) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!members.next(key, item) || !PyUnicode_CheckExact(key) ||
                !(PyUnicode_IS_COMPACT_ASCII(key) || plain_text(key, nullptr)))
                return false;
            // Most members of a free-form dict are ASCII strs.
            if (Py_IS_TYPE(item, &PyUnicode_Type) && PyUnicode_IS_COMPACT_ASCII(item)) continue;
            if (!value(item, nullptr)) return false;
        }
        return true;
    }
    Met met;
    PyObject** const fields = depth_ == 1 ? fields_ : nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::string_view text;
        if (!members.next(key, item) || !PyUnicode_CheckExact(key) || !utf8_view(key, text)) return false;
        const Field* field = find_field(*shape, head_of(text), text);
        if (field) {
            met.add(*field);
            if (fields) fields[field - shape->fields.data()] = item;
        }
        if (!value(item, field ? field->shape : nullptr)) return false;
    }
    return met.enough(*shape);
}

// A stack of plain records, kept in a buffer of its own until it outgrows it.
template <class T, std::size_t Inline>
class PodStack {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_default_constructible_v<T>);

public:
    PodStack() noexcept = default;
    PodStack(const PodStack&) = delete;
    PodStack& operator=(const PodStack&) = delete;

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

    // `n` more records, not yet written; the earlier ones may move.
    T* grow(std::size_t n) {
        if (n > capacity_ - size_) reallocate(std::max(capacity_ * 2, size_ + n));
        T* out = data_ + size_;
        size_ += n;
        return out;
    }
    void truncate(std::size_t size) noexcept { size_ = size; }

private:
    void reallocate(std::size_t capacity) {
        std::unique_ptr<T[]> bigger = std::make_unique_for_overwrite<T[]>(capacity);
        std::memcpy(bigger.get(), data_, size_ * sizeof(T));
        heap_ = std::move(bigger);
        data_ = heap_.get();
        capacity_ = capacity;
    }

    T inline_[Inline];
    std::unique_ptr<T[]> heap_;
    T* data_ = inline_;
    std::size_t size_ = 0, capacity_ = Inline;
};

// Building the copy allocates, and a collection it sets off may run finalisers that change the
// source: a dict's keys and values are held while it is copied, lists are read by index.
class Copier {
public:
    // A new reference to the copy of `o`.
    PyObject* value(PyObject* o, const PlainShape* shape) {
        const Plain plain = classify(o, shape);
        return plain == Plain::Same ? new_ref(o) : made(o, shape, plain);
    }

private:
    struct Member {
        PyObject* key;
        PyObject* value;
        const char* data;  // the key's text
        std::size_t size;
    };
    // A member's place in key order: sorting these moves little.
    struct Slot {
        std::uint64_t head;  // the first eight bytes as a big-endian number, zero-padded
        std::size_t member;
    };

    // The members of one dict, on top of its parents', released when it is done.
    class Level {
    public:
        explicit Level(Copier& copier) noexcept
            : copier_(copier), members_(copier.members_.size()), slots_(copier.order_.size()) {}
        Level(const Level&) = delete;
        Level& operator=(const Level&) = delete;
        ~Level() {
            Member* const all = copier_.members_.data();
            for (Member *m = all + members_, *end = all + copier_.members_.size(); m != end; ++m) {
                Py_DECREF(m->key);
                Py_DECREF(m->value);
            }
            copier_.members_.truncate(members_);
            copier_.order_.truncate(slots_);
        }
        std::size_t members() const noexcept { return members_; }
        std::size_t slots() const noexcept { return slots_; }

    private:
        Copier& copier_;
        std::size_t members_, slots_;
    };

    std::string_view text(const Slot& slot) const noexcept {
        const Member& m = members_[slot.member];
        return {m.data, m.size};
    }
    int compare(const Slot& slot, std::uint64_t head, std::string_view key) const noexcept {
        if (slot.head != head) return slot.head < head ? -1 : 1;
        return compare_keys(head, text(slot), head, key);
    }

    PyObject* made(PyObject* o, const PlainShape* shape, Plain plain);
    PyObject* container(PyObject* o, const PlainShape* shape);
    PyObject* dict(PyObject* o, const PlainShape* shape);
    PyObject* list(PyObject* o, const PlainShape* items);
    PyObject* tuple(PyObject* o, const PlainShape* items);
    PyObject* empty(const PlainShape& shape);
    bool collect(PyObject* o);
    void sort(std::size_t base) noexcept;
    bool absent(PyObject* out, const Field& field);
    bool put(PyObject* out, std::size_t member, const PlainShape* shape);
    bool put_members(PyObject* out, std::size_t base, const PlainShape* shape);

    // A payload's members usually fit in the copier's own storage, on the stack.
    PodStack<Member, 64> members_;  // in each dict's own order
    PodStack<Slot, 64> order_;      // each dict's, sorted
    int depth_ = 0;
};

// The value `o` becomes when it is not itself.
PyObject* Copier::made(PyObject* o, const PlainShape* shape, Plain plain) {
    switch (plain) {
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

// Holds each member and gives it a slot. No Python code runs meanwhile, so the dict keeps its size.
bool Copier::collect(PyObject* o) {
    const std::size_t first = members_.size(), n = static_cast<std::size_t>(PyDict_GET_SIZE(o));
    Slot* const slots = order_.grow(n);
    Member* const members = members_.grow(n);
    DictMembers read(o);
    PyObject *key, *item;
    std::size_t i = 0;
    for (; i < n && read.next(key, item); ++i) {
        std::string_view text;
        if (!PyUnicode_CheckExact(key) || !utf8_view(key, text)) break;
        slots[i] = Slot{head_of(text), first + i};
        members[i] = Member{new_ref(key), new_ref(item), text.data(), text.size()};
    }
    members_.truncate(first + i);  // the held ones
    order_.truncate(order_.size() - (n - i));
    return i == n;
}

// Exact str keys of one dict never share their text: sorted, they are the model's order.
void Copier::sort(std::size_t base) noexcept {
    Slot* first = order_.data() + base;
    Slot* last = order_.data() + order_.size();
    const auto before = [this](const Slot& a, const Slot& b) { return compare(a, b.head, text(b)) < 0; };
    if (last - first > 32) return std::sort(first, last, before);
    for (Slot* i = first + 1; i < last; ++i) {
        const Slot moving = *i;
        Slot* j = i;
        for (; j > first && (moving.head < j[-1].head || (moving.head == j[-1].head && before(moving, j[-1]))); --j)
            *j = j[-1];
        *j = moving;
    }
}

// A field absent from the dict being copied: refused when required, added empty when filled.
bool Copier::absent(PyObject* out, const Field& field) {
    if (field.required) return false;
    if (!field.name) return true;
    Ref value = Ref::steal(empty(*field.shape));
    return value && PyDict_SetItem(out, field.name->get(), value.get()) == 0;
}

// Puts a member into `out` with the copy of its value.
bool Copier::put(PyObject* out, std::size_t member, const PlainShape* shape) {
    // Read before copying: a nested dict's members may move the storage (the objects stay held).
    PyObject* const key = members_[member].key;
    PyObject* const value = members_[member].value;
    const Plain plain = classify(value, shape);
    if (plain == Plain::Same) return PyDict_SetItem(out, key, value) == 0;
    Ref copy = Ref::steal(made(value, shape, plain));
    return copy && PyDict_SetItem(out, key, copy.get()) == 0;
}

// Puts the sorted members from `base` into `out`, each held to the shape of the field it is, and
// the shape's absent fields where they go; false when one is required, or when only some of
// the fields that go together are there.
bool Copier::put_members(PyObject* out, std::size_t base, const PlainShape* shape) {
    const Field* field = shape ? shape->fields.data() : nullptr;
    const Field* const fields_end = shape ? field + shape->fields.size() : nullptr;
    Met met;
    for (std::size_t i = base; i < order_.size(); ++i) {
        const Slot slot = order_[i];
        const PlainShape* member_shape = nullptr;
        for (; field != fields_end; ++field) {
            const int order = compare(slot, field->head, field->key);
            if (order < 0) break;
            if (order == 0) {
                member_shape = field->shape;
                met.add(*field++);
                break;
            }
            if (!absent(out, *field)) return false;
        }
        if (!put(out, slot.member, member_shape)) return false;
    }
    for (; field != fields_end; ++field)
        if (!absent(out, *field)) return false;
    return !shape || met.enough(*shape);
}

PyObject* Copier::dict(PyObject* o, const PlainShape* shape) {
    Level level(*this);
    if (!collect(o)) return nullptr;
    sort(level.slots());
    Ref out = Ref::steal(new_dict(PyDict_GET_SIZE(o)));
    if (!out || !put_members(out.get(), level.slots(), shape)) return nullptr;
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

bool is_plain(PyObject* o, const PlainShape* shape, PyObject** fields) {
    if (Checker(fields).value(o, shape)) return true;
    PyErr_Clear();
    return false;
}

PyObject* plain_sorted_copy(PyObject* o, const PlainShape* shape) {
    Copier copier;  // not value-initialised: its storage is written before it is read
    PyObject* copy = copier.value(o, shape);
    if (!copy) PyErr_Clear();
    return copy;
}

}  // namespace qsc::py
