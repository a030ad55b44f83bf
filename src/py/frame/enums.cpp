#include "py/frame/enums.hpp"

#include <mutex>
#include <string>
#include <utility>

#include "py/frame/binding.hpp"
#include "py/frame/ref.hpp"

namespace qsc::py {

namespace {

EnumObject* as_enum(PyObject* o) noexcept { return reinterpret_cast<EnumObject*>(o); }
const VariantName& name_of(PyObject* o) noexcept {
    return kEnumTables[as_enum(o)->enum_id].variants[as_enum(o)->value];
}

PyObject* enum_repr(PyObject* self) {
    return PyUnicode_FromFormat("%s.%s", kEnumTables[as_enum(self)->enum_id].class_name.data(),
                                name_of(self).name.data());
}

PyObject* enum_str(PyObject* self) { return new_ref(as_enum(self)->wire); }

PyObject* enum_wire_name(PyObject* self, void*) { return enum_str(self); }

PyObject* enum_int(PyObject* self) { return PyLong_FromLong(as_enum(self)->value); }

PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
    if (Py_TYPE(other) != Py_TYPE(self) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    const bool same = as_enum(self)->value == as_enum(other)->value;
    return PyBool_FromLong(op == Py_EQ ? same : !same);
}

// A variant and its class refer to each other (the class's dict holds it): tracking the variants
// lets the collector free both once an interpreter's state lets go of them.
int enum_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void enum_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_enum(self)->wire);
    type->tp_free(self);
    Py_DECREF(type);
}

template <int Id>
const Signature from_wire_name_sig{Callable::Method, kEnumTables[Id].class_name, "from_wire_name(name)", ""};

template <int Id>
PyObject* from_wire_name(const Args& a) {
    std::string_view name;
    if (!a.get(0, name)) {
        // A str that cannot be UTF-8 (a lone surrogate) names no variant.
        if (!PyUnicode_Check(a[0]) || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    const EnumTable& table = kEnumTables[Id];
    for (std::uint8_t i = 0; i < table.count; ++i)
        if (table.variants[i].wire == name) return new_ref(state().variants[Id][i]);
    Py_RETURN_NONE;
}

template <std::size_t... Ids>
constexpr auto from_wire_name_defs(std::index_sequence<Ids...>) {
    return std::array<PyMethodDef (*)(), sizeof...(Ids)>{
        &static_def<from_wire_name_sig<static_cast<int>(Ids)>, &from_wire_name<static_cast<int>(Ids)>>...};
}

bool add_variants(PyTypeObject* type, int id) {
    const EnumTable& table = kEnumTables[id];
    for (std::uint8_t i = 0; i < table.count; ++i) {
        EnumObject* o = PyObject_GC_New(EnumObject, type);
        if (!o) return false;
        o->enum_id = static_cast<std::uint8_t>(id);
        o->value = i;
        o->wire = nullptr;
        PyObject_GC_Track(o);
        state().variants[id][i] = reinterpret_cast<PyObject*>(o);
        PyObject* wire = PyUnicode_FromStringAndSize(table.variants[i].wire.data(),
                                                     static_cast<Py_ssize_t>(table.variants[i].wire.size()));
        if (!wire) return false;
        PyUnicode_InternInPlace(&wire);
        o->wire = wire;
        if (PyDict_SetItemString(type->tp_dict, table.variants[i].name.data(), reinterpret_cast<PyObject*>(o)) < 0)
            return false;
    }
    PyType_Modified(type);
    return true;
}

// The tables a class's PyType_Spec points to, filled once for the process (the first interpreter to
// build the class) and only read after.
struct EnumSpecTables {
    std::string name;
    PyGetSetDef getset[2];
    PyMethodDef methods[kEnumMethodSlots];
};

const EnumSpecTables& spec_tables(int id, const PyMethodDef* extra_methods) {
    static EnumSpecTables tables[kEnumCount];
    static std::once_flag filled[kEnumCount];
    static const auto wire_defs = from_wire_name_defs(std::make_index_sequence<kEnumCount>{});
    std::call_once(filled[id], [&] {
        const EnumTable& table = kEnumTables[id];
        const bool by_wire_name = table.style == EnumStyle::WireName;
        EnumSpecTables& t = tables[id];
        t.name = "quarn_sdk_core." + std::string(table.class_name);
        t.getset[0] = PyGetSetDef{by_wire_name ? "wire_name" : "value", &enum_wire_name, nullptr,
                                  table.property_doc, nullptr};
        int m = 0;
        if (by_wire_name) t.methods[m++] = wire_defs[id]();
        for (const PyMethodDef* extra = extra_methods; extra && extra->ml_name; ++extra) t.methods[m++] = *extra;
    });
    return tables[id];
}

}  // namespace

PyTypeObject* build_enum_class(EnumId enum_id, const PyMethodDef* extra_methods) {
    const int id = static_cast<int>(enum_id);
    const EnumTable& table = kEnumTables[id];
    const EnumSpecTables& t = spec_tables(id, extra_methods);

    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&enum_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(&enum_traverse)},
        {Py_tp_repr, reinterpret_cast<void*>(&enum_repr)},
        {Py_tp_str, reinterpret_cast<void*>(&enum_str)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&enum_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
        {Py_nb_int, reinterpret_cast<void*>(&enum_int)},
        {Py_tp_getset, const_cast<PyGetSetDef*>(t.getset)},
        {Py_tp_methods, const_cast<PyMethodDef*>(t.methods)},
        {Py_tp_doc, const_cast<char*>(table.doc)},
        {0, nullptr},
    };
    PyType_Spec spec{t.name.c_str(), sizeof(EnumObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                         Py_TPFLAGS_HAVE_GC,
                     slots};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    if (!add_variants(type, id)) {
        Py_DECREF(type);
        return nullptr;
    }
    return type;
}

}  // namespace qsc::py
