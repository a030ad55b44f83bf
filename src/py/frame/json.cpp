#include "py/frame/json.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "py/frame/binding.hpp"
#include "py/frame/build.hpp"
#include "py/frame/compat.hpp"
#include "py/frame/errors.hpp"
#include "py/frame/nesting.hpp"
#include "py/frame/ref.hpp"
#include "py/frame/state.hpp"

namespace qsc::py {

#define QSC_NOINLINE [[gnu::noinline]]

namespace {

// Deep enough for any real payload, shallow enough for the C++ stack whatever the interpreter's
// own recursion limit is set to.
constexpr int kMaxDepth = 2000;

QSC_COLD bool recursion_error() {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while converting a JSON value");
    return false;
}

// One level deeper, or false with RecursionError set: the interpreter's, or ours at kMaxDepth.
bool entered(const Nesting& level) {
    if (level) return true;
    if (!PyErr_Occurred()) recursion_error();
    return false;
}

PyObject* import_attr(const char* module, const char* name) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    return PyObject_GetAttrString(mod.get(), name);
}

// collections.abc and dataclasses, looked up on first need and kept for the interpreter.
const ModuleState* abc() {
    ModuleState& st = state();
    if (!st.abc_sequence) {
        PyObject* sequence = import_attr("collections.abc", "Sequence");
        PyObject* mapping = sequence ? import_attr("collections.abc", "Mapping") : nullptr;
        PyObject* fields = mapping ? import_attr("dataclasses", "fields") : nullptr;
        if (!fields) {
            Py_XDECREF(sequence);
            Py_XDECREF(mapping);
            return nullptr;
        }
        st.abc_sequence = sequence;
        st.abc_mapping = mapping;
        st.dataclass_fields = fields;
    }
    return &st;
}

// The keys of the dicts being read, taken apart before their values are read: a dict's keys are
// ordered first, so that each value is read straight into its sorted place. One buffer serves
// every nesting level (a level's keys sit above its parent's), so a level costs the C stack
// only a few words.
class DictKeys {
public:
    // Trivial, so the buffer costs nothing to set up.
    struct Entry {
        PyObject* key;  // held, with the value, while the level lasts: reading a value may run
        PyObject* value;  // Python code that changes the dict
        const char* data;
        std::size_t size;
        std::uint32_t slot;  // place among the sorted members, or kDropped

        std::string_view text() const noexcept { return {data, size}; }
    };
    static constexpr std::uint32_t kDropped = UINT32_MAX;

    // One dict's keys, released when it goes.
    class Level {
    public:
        explicit Level(DictKeys& keys) noexcept : keys_(keys), base_(keys.entries_.size()) {}
        Level(const Level&) = delete;
        Level& operator=(const Level&) = delete;
        ~Level() { keys_.release(base_); }

        // False, with no exception, when a key is no str or has no UTF-8 text.
        bool collect(PyObject* dict);
        // Sorts; of equal keys the one met last is kept. Returns how many are kept.
        std::uint32_t place();
        std::size_t size() const noexcept { return keys_.entries_.size() - base_; }
        // A copy: reading a value may grow the buffer.
        Entry operator[](std::size_t i) const noexcept { return keys_.entries_[base_ + i]; }

    private:
        DictKeys& keys_;
        std::size_t base_;
    };

private:
    void release(std::size_t base) noexcept {
        for (std::size_t i = base; i < entries_.size(); ++i) {
            Py_DECREF(entries_[i].key);
            Py_DECREF(entries_[i].value);
        }
        entries_.resize(base);
    }

    std::vector<Entry> entries_;
    std::vector<std::uint32_t> order_;
};

bool DictKeys::Level::collect(PyObject* dict) {
    std::vector<Entry>& entries = keys_.entries_;
    entries.reserve(base_ + static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        std::string_view text;
        if (!PyUnicode_Check(key) || !utf8_view(key, text)) {
            PyErr_Clear();
            return false;
        }
        entries.push_back(Entry{new_ref(key), new_ref(value), text.data(), text.size(), 0});
    }
    return true;
}

std::uint32_t DictKeys::Level::place() {
    const std::size_t n = size();
    Entry* entries = keys_.entries_.data() + base_;
    std::vector<std::uint32_t>& order = keys_.order_;
    order.resize(n);
    for (std::uint32_t i = 0; i < n; ++i) order[i] = i;
    // Stable, so equal keys stay in the order met.
    const auto before = [&](std::uint32_t a, std::uint32_t b) { return text_less(entries[a].text(), entries[b].text()); };
    if (n <= 32) {
        for (std::size_t i = 1; i < n; ++i) {
            const std::uint32_t moving = order[i];
            std::size_t j = i;
            for (; j > 0 && before(moving, order[j - 1]); --j) order[j] = order[j - 1];
            order[j] = moving;
        }
    } else {
        std::stable_sort(order.begin(), order.end(), before);
    }
    std::uint32_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const bool superseded = i + 1 < n && entries[order[i]].text() == entries[order[i + 1]].text();
        entries[order[i]].slot = superseded ? kDropped : kept++;
    }
    return kept;
}

class Reader {
public:
    // With `holds`, strings borrow their text and the strs are held there.
    explicit Reader(Origins origins, StrHolds* holds = nullptr)
        : holds_(holds), track_(origins == Origins::Track) {}

    bool read(PyObject* o, Json& out);
    // Python code ran during the conversion: what it dropped may have been an origin.
    bool foreign() const noexcept { return foreign_; }

private:
    // Out of line, so that each nesting level costs the C stack only the frames it needs.
    QSC_NOINLINE bool read_container(PyObject* o, Json& out);
    QSC_NOINLINE bool read_int(PyObject* o, Json& out);
    bool read_str(PyObject* o, JsonString& out);
    QSC_NOINLINE bool read_items(PyObject* const* items, Py_ssize_t n, Json& out);
    QSC_NOINLINE bool read_list(PyObject* list, Json& out);
    QSC_NOINLINE bool read_dict(PyObject* dict, Json& out);
    QSC_NOINLINE bool read_dict_in_order(PyObject* dict, Json& out);
    QSC_NOINLINE bool read_iterable(PyObject* o, Json& out);
    QSC_NOINLINE bool read_sequence(PyObject* o, Json& out);
    QSC_NOINLINE bool read_mapping(PyObject* o, Json& out);
    QSC_NOINLINE bool read_dataclass(PyObject* o, Json& out);
    bool read_member(PyObject* key, PyObject* value, std::vector<JsonMember>& members);
    QSC_NOINLINE bool read_other(PyObject* o, Json& out);
    QSC_COLD bool fail(std::string_view text) { return raise_type_error(text), false; }
    QSC_COLD bool fail_from_python();

    StrHolds* holds_;
    DictKeys keys_;
    bool track_;
    bool foreign_ = false;
    int depth_ = 0;
};

// An exception raised by Python code met during the conversion fails it with that text;
// running out of stack or memory stays what it is.
bool Reader::fail_from_python() {
    if (error_is_replaceable()) replace_with_type_error();
    return false;
}

bool Reader::read_str(PyObject* o, JsonString& out) {
    std::string_view text;
    if (!utf8_view(o, text)) return fail_from_python();
    const void* origin = track_ && PyUnicode_CheckExact(o) ? o : nullptr;
    if (holds_) {
        holds_->add(o);
        out.borrow(text, origin);
    } else {
        out = JsonString(text, origin);
    }
    return true;
}

// Whether an int outside 64 bits still fits a signed or unsigned 128-bit integer. Counts the
// digits directly: an int subclass may override bit_length, comparisons or arithmetic.
bool fits_128_bits(PyObject* o, bool positive) {
    const auto bits = int_bits(o);
    if (positive) return bits <= 128;
    if (bits != 128) return bits < 128;
    // A magnitude of 128 bits fits only as -2^127, the one whose successor needs 127.
    Ref exact = Ref::steal(PyNumber_Index(o));  // a plain int copy, no Python code run
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref next = exact && one ? Ref::steal(PyNumber_Add(exact.get(), one.get())) : Ref();
    if (!next) {
        PyErr_Clear();
        return false;
    }
    return int_bits(next.get()) <= 127;
}

bool Reader::read_int(PyObject* o, Json& out) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) return fail_from_python();
    if (overflow == 0) {
        out = Json(static_cast<std::int64_t>(v));
        return true;
    }
    if (overflow > 0) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(o);
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            out = Json(static_cast<std::uint64_t>(u));
            return true;
        }
        PyErr_Clear();
    }
    return fail(fits_128_bits(o, overflow > 0) ? "JSON number out of range" : "int too big to convert");
}

bool Reader::read_items(PyObject* const* items, Py_ssize_t n, Json& out) {
    JsonArray array;
    array.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!read(items[i], array.emplace_back())) return false;
    }
    out = Json(std::move(array));
    return true;
}

// A list can change size while an item is converted: read it by index, holding each item.
bool Reader::read_list(PyObject* list, Json& out) {
    JsonArray array;
    array.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        if (!read(item.get(), array.emplace_back())) return false;
    }
    out = Json(std::move(array));
    return true;
}

bool Reader::read_member(PyObject* key, PyObject* value, std::vector<JsonMember>& members) {
    if (!PyUnicode_Check(key)) return fail("dict keys must have type str");
    JsonMember& member = members.emplace_back();
    return read_str(key, member.key) && read(value, member.value);
}

bool Reader::read_dict(PyObject* dict, Json& out) {
    DictKeys::Level keys(keys_);
    if (!keys.collect(dict)) return read_dict_in_order(dict, out);
    std::vector<JsonMember> members(keys.place());
    JsonMember dropped;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const DictKeys::Entry entry = keys[i];
        JsonMember& member = entry.slot == DictKeys::kDropped ? dropped : members[entry.slot];
        if (!read_str(entry.key, member.key) || !read(entry.value, member.value)) return false;
    }
    out = Json(JsonObject::from_sorted(std::move(members)));
    return true;
}

// The general path, which meets a bad key where the dict's order puts it.
bool Reader::read_dict_in_order(PyObject* dict, Json& out) {
    std::vector<JsonMember> members;
    members.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        Ref k = Ref::borrow(key), v = Ref::borrow(value);
        if (!read_member(k.get(), v.get(), members)) return false;
    }
    out = Json(JsonObject::from_members(std::move(members)));
    return true;
}

bool Reader::read_iterable(PyObject* o, Json& out) {
    Ref iter = Ref::steal(PyObject_GetIter(o));
    if (!iter) return fail_from_python();
    JsonArray array;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        if (!read(item.get(), array.emplace_back())) return false;
    }
    if (PyErr_Occurred()) return fail_from_python();
    out = Json(std::move(array));
    return true;
}

bool Reader::read_sequence(PyObject* o, Json& out) {
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) return fail_from_python();
    JsonArray array;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(o, i));
        if (!item) return fail_from_python();
        if (!read(item.get(), array.emplace_back())) return false;
    }
    out = Json(std::move(array));
    return true;
}

bool Reader::read_mapping(PyObject* o, Json& out) {
    Ref keys = Ref::steal(PyMapping_Keys(o));
    if (!keys) return fail_from_python();
    std::vector<JsonMember> members;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
        if (!PyUnicode_Check(key.get())) return fail("dict keys must have type str");
        Ref value = Ref::steal(PyObject_GetItem(o, key.get()));
        if (!value) return fail_from_python();
        if (!read_member(key.get(), value.get(), members)) return false;
    }
    out = Json(JsonObject::from_members(std::move(members)));
    return true;
}

bool Reader::read_dataclass(PyObject* o, Json& out) {
    Ref fields = Ref::steal(PyObject_CallOneArg(state().dataclass_fields, o));
    if (!fields) return fail_from_python();
    Ref iter = Ref::steal(PyObject_GetIter(fields.get()));
    if (!iter) return fail_from_python();
    std::vector<JsonMember> members;
    while (Ref field = Ref::steal(PyIter_Next(iter.get()))) {
        Ref name = Ref::steal(PyObject_GetAttrString(field.get(), "name"));
        if (!name) return fail_from_python();
        Ref value = Ref::steal(PyObject_GetAttr(o, name.get()));
        if (!value) return fail_from_python();
        if (!read_member(name.get(), value.get(), members)) return false;
    }
    if (PyErr_Occurred()) return fail_from_python();
    out = Json(JsonObject::from_members(std::move(members)));
    return true;
}

// Rules 9 to 12: sets, the Sequence and Mapping protocols, dataclasses, and the rest.
bool Reader::read_other(PyObject* o, Json& out) {
    if (PyAnySet_Check(o)) {
        if (!PyAnySet_CheckExact(o)) foreign_ = true;
        return read_iterable(o, out);
    }
    foreign_ = true;
    const ModuleState* cache = abc();
    if (!cache) return fail_from_python();
    int is = PyObject_IsInstance(o, cache->abc_sequence);
    if (is < 0) return fail_from_python();
    if (is) return read_sequence(o, out);
    is = PyObject_IsInstance(o, cache->abc_mapping);
    if (is < 0) return fail_from_python();
    if (is) return read_mapping(o, out);
    if (!PyType_Check(o)) {
        is = PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__dataclass_fields__");
        if (is) return read_dataclass(o, out);
    }
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(o)));
    if (!qualname) return false;
    PyErr_Format(PyExc_TypeError, "unsupported type %U", qualname.get());
    return false;
}

bool Reader::read(PyObject* o, Json& out) {
    if (o == Py_None) {
        out = Json();
        return true;
    }
    if (PyBool_Check(o)) {
        out = Json(o == Py_True);
        return true;
    }
    if (PyLong_Check(o)) return read_int(o, out);
    if (PyUnicode_Check(o)) {  // before the containers: by far the most common value
        return read_str(o, out.emplace_string());
    }
    // Lists, tuples and dicts are told by a type flag; no type can also be a float or bytes.
    if (PyList_Check(o) || PyTuple_Check(o) || PyDict_Check(o)) return read_container(o, out);
    if (PyFloat_Check(o)) {
        out = Json(PyFloat_AS_DOUBLE(o));
        return true;
    }
    if (PyBytes_Check(o) || PyByteArray_Check(o)) return fail("invalid type: byte array, expected any valid JSON value");
    return read_container(o, out);
}

bool Reader::read_container(PyObject* o, Json& out) {
    Nesting level(depth_, kMaxDepth);
    if (!entered(level)) return false;
    if (PyList_Check(o)) return read_list(o, out);
    if (PyTuple_Check(o)) return read_items(&PyTuple_GET_ITEM(o, 0), PyTuple_GET_SIZE(o), out);
    if (PyDict_Check(o)) return read_dict(o, out);
    return read_other(o, out);
}

void drop_origins(Json& value) {
    switch (value.kind()) {
        case Json::Kind::String: value.as_string().origin = nullptr; break;
        case Json::Kind::Array:
            for (Json& item : value.as_array()) drop_origins(item);
            break;
        case Json::Kind::Object:
            for (JsonMember& member : value.as_object()) {
                member.key.origin = nullptr;
                drop_origins(member.value);
            }
            break;
        default: break;
    }
}

PyObject* string_to_py(const JsonString& s) { return str(TextRef::of(s)); }

class Writer {
public:
    PyObject* write(const Json& v);

private:
    QSC_NOINLINE PyObject* write_array(const JsonArray& a);
    QSC_NOINLINE PyObject* write_object(const JsonObject& o);
    int depth_ = 0;
};

PyObject* Writer::write_array(const JsonArray& a) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(a.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < a.size(); ++i) {
        PyObject* item = write(a[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* Writer::write_object(const JsonObject& o) {
    Ref dict = Ref::steal(new_dict(static_cast<Py_ssize_t>(o.size())));
    if (!dict) return nullptr;
    for (const JsonMember& m : o) {
        Ref key = Ref::steal(string_to_py(m.key));
        if (!key) return nullptr;
        Ref value = Ref::steal(write(m.value));
        if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* Writer::write(const Json& v) {
    switch (v.kind()) {
        case Json::Kind::Null: Py_RETURN_NONE;
        case Json::Kind::Bool: return new_ref(v.as_bool() ? Py_True : Py_False);
        case Json::Kind::UInt: return unsigned_int(v.as_uint());
        case Json::Kind::Int: return PyLong_FromLongLong(v.as_int());
        case Json::Kind::Float: return PyFloat_FromDouble(v.as_float());
        case Json::Kind::String: return string_to_py(v.as_string());
        case Json::Kind::Array:
        case Json::Kind::Object: break;
    }
    Nesting level(depth_, kMaxDepth);
    if (!entered(level)) return nullptr;
    return v.is_array() ? write_array(v.as_array()) : write_object(v.as_object());
}

}  // namespace

StrHolds::~StrHolds() {
    for (int i = 0; i < count_; ++i) Py_DECREF(inline_[i]);
    for (PyObject* str : more_) Py_DECREF(str);
}

void StrHolds::add(PyObject* str) {
    if (count_ < kInline) {
        inline_[count_++] = new_ref(str);
        return;
    }
    more_.push_back(str);  // may throw; the reference is taken once it is in
    Py_INCREF(str);
}

bool json_from_py(PyObject* o, Json& out, Origins origins) {
    Reader reader(origins);
    if (!reader.read(o, out)) return false;
    if (origins == Origins::Track && reader.foreign()) drop_origins(out);
    return true;
}

bool json_arg(const Args& a, int i, TrackedJson& out) {
    Reader reader(Origins::Track, &out.holds);
    if (reader.read(a[i], out.value)) {
        // The text stays valid (it is held), but the strs' identity is only handed back when
        // no Python code ran, as for any tracked value.
        if (reader.foreign()) drop_origins(out.value);
        return true;
    }
    note_processing(a.signature().param(i));
    return false;
}

bool optional_json_from_py(PyObject* o, std::optional<Json>& out, Origins origins) {
    if (!o || o == Py_None) {
        out.reset();
        return true;
    }
    Json value;
    if (!json_from_py(o, value, origins)) return false;
    out = std::move(value);
    return true;
}

bool json_arg(const Args& a, int i, Json& out, Origins origins) {
    if (json_from_py(a[i], out, origins)) return true;
    note_processing(a.signature().param(i));
    return false;
}

bool optional_json_arg(const Args& a, int i, std::optional<Json>& out, Origins origins) {
    if (optional_json_from_py(a[i], out, origins)) return true;
    note_processing(a.signature().param(i));
    return false;
}

PyObject* json_to_py(const Json& value) { return Writer().write(value); }

}  // namespace qsc::py
