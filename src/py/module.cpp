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

// A new state's types, singletons and exception type; run with the state current.
bool build_state(ModuleState& s) {
    if (!(s.panic_type = make_panic_type())) return false;
    for (const ClassEntry& entry : class_table())
        if (!(*entry.slot = entry.build())) return false;
    return true;
}

// Each interpreter builds its own state on its first import; later imports in it (a module
// object made again by importlib) bind the same classes and singletons.
int exec_module(PyObject* module) {
    return guarded([&]() -> int {
        if (!PyModule_Check(module)) {
            PyErr_Format(PyExc_TypeError, "'%s' object is not a module", Py_TYPE(module)->tp_name);
            return -1;
        }
        ModuleState* s = bind_state(module, &build_state);
        if (!s) return -1;
        StateScope scope(s);
        for (const ClassEntry& entry : class_table())
            if (PyModule_AddObjectRef(module, entry.name.data(), reinterpret_cast<PyObject*>(*entry.slot)) < 0)
                return -1;
        return PyModule_AddFunctions(module, function_table());
    });
}

void free_module(void* module) { unbind_state(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#ifdef Py_mod_multiple_interpreters
    // Nothing process-wide is written at run time but the state registry, under its lock.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

// The module object's own state is the pointer to its interpreter's state.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quarn_sdk_core", "", sizeof(ModuleState*), nullptr, module_slots, nullptr, nullptr,
    &free_module,
};

}  // namespace

}  // namespace qsc::py

PyMODINIT_FUNC PyInit_quarn_sdk_core(void) { return PyModuleDef_Init(&qsc::py::module_def); }
