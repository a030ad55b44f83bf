// The agent-memory tier/kind check.
#include "core/agent_memory.hpp"
#include "py/frame/binding.hpp"
#include "py/frame/enums.hpp"
#include "py/registry.hpp"

namespace qsc::py {

namespace {

// A str as it is, or an instance of E as its wire name; the binding's own check, so no note.
template <class E>
bool name_or_variant(PyObject* o, const char* type_message, Name& out) {
    if (PyUnicode_Check(o)) return convert(o, out);
    if (Py_TYPE(o) == state().enums[static_cast<int>(EnumTraits<E>::id)]) {
        out.text = wire_name(static_cast<E>(enum_value(o)));
        return true;
    }
    raise_type_error(type_message);
    return false;
}

const Signature kValidate{
    Callable::Function, "", "validate_memory_type_for_system(system, memory_type, trace_context=None)",
    "Validate that `memory_type` belongs to `system`'s allowed type set.\n\n`system`/`memory_type` each accept a "
    "wire-name string or the matching\n`MemorySystem`/`MemoryType` instance, mirroring\n`validate_event_payload`'s "
    "acceptance of either an event-name string or\nan `EventType`. On failure raises `ValueError` with `.issues` "
    "(a tuple\nof `(path, code, message)` triples) and `.trace_context`. An\nunrecognized `system` and an "
    "unrecognized `memory_type` are independent\nissues and both are reported when both strings are invalid."};
PyObject* validate(const Args& a) {
    TraceContext trace;
    Name system, memory_type;
    if (!a.get(2, trace) || !name_or_variant<MemorySystem>(a[0], "system must be a str", system) ||
        !name_or_variant<MemoryType>(a[1], "memory_type must be a str", memory_type))
        return nullptr;
    if (auto error = validate_memory_type_for_system(system.text, memory_type.text, trace)) return raise_core_error(*error);
    return none();
}

}  // namespace

PyMethodDef validate_memory_type_for_system_def() { return function_def<kValidate, &validate>(); }

}  // namespace qsc::py
