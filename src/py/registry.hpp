// The module's registration lists, one per kind. Each area file defines the makers its entries
// name: `make_<name>_class()` for a class, `<name>_def()` for a function.
#pragma once

#include "py/frame/python.hpp"

namespace qsc::py {

// The classes other than enumerations (those are the core's enumeration tables), in ascending
// order of their names; registration merges the two by name.
#define QSC_CLASSES(X)                                                                                  \
    X(AgentFailure, agent_failure) X(CancelledDecisions, cancelled_decisions)                           \
    X(ClaimRegistry, claim_registry) X(DecisionRegistry, decision_registry)                             \
    X(ParticipantRoster, participant_roster) X(RetryTracker, retry_tracker)                             \
    X(RoomReconciliation, room_reconciliation) X(RoomRoster, room_roster) X(Session, session)           \
    X(SessionOutcome, session_outcome) X(SessionPolicy, session_policy)                                 \
    X(SubscriptionTracker, subscription_tracker) X(TurnLedger, turn_ledger)

// The module functions, in registration order.
#define QSC_FUNCTIONS(X)                                                                                \
    X(quarn_tool_effects) X(chat_room_topic) X(classify_close) X(classify_upgrade)                      \
    X(evaluate_adapter_result) X(evaluate_delivery_event) X(evaluate_drain_candidate)                   \
    X(evaluate_next_message) X(is_authorized_sender) X(is_self_echo) X(missing_reply_message)           \
    X(no_reply_tool) X(room_participants_topic) X(validate_event_payload)                               \
    X(validate_memory_type_for_system)

#define QSC_DECLARE_CLASS_MAKER(Name, name) PyTypeObject* make_##name##_class();
#define QSC_DECLARE_FUNCTION_DEF(name) PyMethodDef name##_def();
QSC_CLASSES(QSC_DECLARE_CLASS_MAKER)
QSC_FUNCTIONS(QSC_DECLARE_FUNCTION_DEF)
#undef QSC_DECLARE_CLASS_MAKER
#undef QSC_DECLARE_FUNCTION_DEF

// An enumeration with methods of its own (channels.cpp); the others need no maker.
PyTypeObject* make_agent_topic_kind_class();

}  // namespace qsc::py
