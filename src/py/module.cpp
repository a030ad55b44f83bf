// The module's entry point and its two registration tables, in their fixed order.
#include <vector>

#include "py/frame/binding.hpp"
#include "py/frame/enums.hpp"
#include "py/frame/interned.hpp"
#include "py/registry.hpp"

namespace qsc::py {

namespace {

struct ClassEntry {
    const char* name;
    PyTypeObject** slot;
    PyTypeObject* (*make)();
};

template <EnumId Id>
PyTypeObject* enum_class() {
    return make_enum_class(Id);
}

#define QSC_ENUM_ENTRY(Name) {#Name, &state().enums[static_cast<int>(EnumId::Name)], &enum_class<EnumId::Name>}
#define QSC_CLASS_ENTRY(Name, make) {#Name, &state().classes[static_cast<int>(ClassId::Name)], make}
// An enumeration with methods of its own.
#define QSC_ENUM_CLASS_ENTRY(Name, make) {#Name, &state().enums[static_cast<int>(EnumId::Name)], make}

std::vector<ClassEntry> class_table() {
    return {
        QSC_CLASS_ENTRY(AgentFailure, &make_agent_failure_class),
        QSC_ENUM_CLASS_ENTRY(AgentTopicKind, &make_agent_topic_kind_class),
        QSC_ENUM_ENTRY(AgentTopicStatus),
        QSC_CLASS_ENTRY(CancelledDecisions, &make_cancelled_decisions_class),
        QSC_ENUM_ENTRY(ClaimOutcome),
        QSC_CLASS_ENTRY(ClaimRegistry, &make_claim_registry_class),
        QSC_ENUM_ENTRY(DeadReason),
        QSC_CLASS_ENTRY(DecisionRegistry, &make_decision_registry_class),
        QSC_ENUM_ENTRY(EventType),
        QSC_ENUM_ENTRY(LeaveOutcome),
        QSC_ENUM_ENTRY(MemoryListScope),
        QSC_ENUM_ENTRY(MemorySegment),
        QSC_ENUM_ENTRY(MemoryStatus),
        QSC_ENUM_ENTRY(MemoryStoreScope),
        QSC_ENUM_ENTRY(MemorySystem),
        QSC_ENUM_ENTRY(MemoryType),
        QSC_ENUM_ENTRY(ParkedReason),
        QSC_CLASS_ENTRY(ParticipantRoster, &make_participant_roster_class),
        QSC_CLASS_ENTRY(RetryTracker, &make_retry_tracker_class),
        QSC_ENUM_ENTRY(RoomMembership),
        QSC_CLASS_ENTRY(RoomReconciliation, &make_room_reconciliation_class),
        QSC_CLASS_ENTRY(RoomRoster, &make_room_roster_class),
        QSC_ENUM_ENTRY(RoomStatus),
        QSC_ENUM_ENTRY(RoomSubscribeResult),
        QSC_CLASS_ENTRY(Session, &make_session_class),
        QSC_CLASS_ENTRY(SessionOutcome, &make_session_outcome_class),
        QSC_CLASS_ENTRY(SessionPolicy, &make_session_policy_class),
        QSC_ENUM_ENTRY(SessionState),
        QSC_ENUM_ENTRY(StaleReason),
        QSC_CLASS_ENTRY(SubscriptionTracker, &make_subscription_tracker_class),
        QSC_ENUM_ENTRY(TurnEffect),
        QSC_CLASS_ENTRY(TurnLedger, &make_turn_ledger_class),
        QSC_ENUM_ENTRY(TurnVerdict),
    };
}

PyMethodDef* function_table() {
    static std::vector<PyMethodDef> table = {
        quarn_tool_effects_def(),
        chat_room_topic_def(),
        classify_close_def(),
        classify_upgrade_def(),
        evaluate_adapter_result_def(),
        evaluate_delivery_event_def(),
        evaluate_drain_candidate_def(),
        evaluate_next_message_def(),
        is_authorized_sender_def(),
        is_self_echo_def(),
        missing_reply_message_def(),
        no_reply_tool_def(),
        room_participants_topic_def(),
        validate_event_payload_def(),
        validate_memory_type_for_system_def(),
        kMethodsEnd,
    };
    return table.data();
}

// Types, singletons and fixed strings are made once and kept for the interpreter.
bool build_once(const std::vector<ClassEntry>& classes) {
    ModuleState& s = state();
    if (s.ready) return true;
    if (!Interned::intern_all() || !Signature::intern_all()) return false;
    if (!s.panic_type && !(s.panic_type = make_panic_type())) return false;
    for (const ClassEntry& entry : classes) {
        if (*entry.slot) continue;
        if (!(*entry.slot = entry.make())) return false;
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
            if (PyModule_AddObjectRef(module, entry.name, reinterpret_cast<PyObject*>(*entry.slot)) < 0) return -1;
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
