// The module's entry point: registration of the lists in py/registry.hpp, in their fixed order.
#include <algorithm>
#include <string_view>
#include <vector>

#include "py/frame/binding.hpp"
#include "py/frame/enums.hpp"
#include "py/frame/interned.hpp"
#include "py/registry.hpp"

namespace qsc::py {

namespace {

struct ClassEntry {
    std::string_view name;
    PyTypeObject** slot;
    PyTypeObject* (*make)();  // null: an enumeration without methods of its own
    EnumId enum_id = {};

    PyTypeObject* build() const { return make ? make() : make_enum_class(enum_id); }
};

// The classes and the enumerations, merged in ascending order of their names.
std::vector<ClassEntry> class_table() {
#define QSC_CLASS_ENTRY(Name, name) {#Name, &state().classes[static_cast<int>(ClassId::Name)], &make_##name##_class},
    std::vector<ClassEntry> entries = {QSC_CLASSES(QSC_CLASS_ENTRY)};
#undef QSC_CLASS_ENTRY
    for (const EnumTable& table : kEnumTables) {
        const bool has_methods = table.id == EnumId::AgentTopicKind;
        entries.push_back({table.class_name, &state().enums[static_cast<int>(table.id)],
                           has_methods ? &make_agent_topic_kind_class : nullptr, table.id});
    }
    std::ranges::sort(entries, {}, &ClassEntry::name);
    return entries;
}

PyMethodDef* function_table() {
#define QSC_FUNCTION_DEF(name) name##_def(),
    static PyMethodDef table[] = {QSC_FUNCTIONS(QSC_FUNCTION_DEF) kMethodsEnd};
#undef QSC_FUNCTION_DEF
    return table;
}

// Types, singletons and fixed strings are made once and kept for the interpreter.
bool build_once(const std::vector<ClassEntry>& classes) {
    ModuleState& s = state();
    if (s.ready) return true;
    if (!Interned::intern_all() || !Signature::intern_all()) return false;
    if (!s.panic_type && !(s.panic_type = make_panic_type())) return false;
    for (const ClassEntry& entry : classes) {
        if (*entry.slot) continue;
        if (!(*entry.slot = entry.build())) return false;
    }
    s.ready = true;
    return true;
}

int exec_module(PyObject* module) {
    return guarded([&]() -> int {
        if (!PyModule_Check(module)) {
            PyErr_Format(PyExc_TypeError, "'%s' object is not a module", Py_TYPE(module)->tp_name);
            return -1;
        }
        PyInterpreterState* interpreter = PyInterpreterState_Get();
        ModuleState& s = state();
        if (s.interpreter && s.interpreter != interpreter) {
            PyErr_SetString(PyExc_ImportError,
                            "quarn_sdk_core can be imported in one interpreter per process only");
            return -1;
        }
        s.interpreter = interpreter;
        const std::vector<ClassEntry> classes = class_table();
        if (!build_once(classes)) return -1;
        for (const ClassEntry& entry : classes)
            if (PyModule_AddObjectRef(module, entry.name.data(), reinterpret_cast<PyObject*>(*entry.slot)) < 0)
                return -1;
        return PyModule_AddFunctions(module, function_table());
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quarn_sdk_core", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace qsc::py

PyMODINIT_FUNC PyInit_quarn_sdk_core(void) { return PyModuleDef_Init(&qsc::py::module_def); }
