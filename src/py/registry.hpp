// What each area file contributes to the module's registration tables.
#pragma once

#include "py/frame/python.hpp"

namespace qsc::py {

// channels.cpp
PyTypeObject* make_agent_topic_kind_class();
PyTypeObject* make_room_reconciliation_class();
PyTypeObject* make_room_roster_class();
PyTypeObject* make_subscription_tracker_class();
PyMethodDef chat_room_topic_def();
PyMethodDef room_participants_topic_def();

// ledgers.cpp
PyTypeObject* make_claim_registry_class();
PyTypeObject* make_retry_tracker_class();

// agent_failure.cpp
PyTypeObject* make_agent_failure_class();

// decisions.cpp
PyTypeObject* make_cancelled_decisions_class();
PyTypeObject* make_decision_registry_class();
PyMethodDef is_authorized_sender_def();

// memory.cpp
PyMethodDef validate_memory_type_for_system_def();

// participants.cpp
PyTypeObject* make_participant_roster_class();

// session.cpp
PyTypeObject* make_session_class();
PyTypeObject* make_session_outcome_class();
PyTypeObject* make_session_policy_class();
PyMethodDef classify_close_def();
PyMethodDef classify_upgrade_def();

// turn.cpp
PyTypeObject* make_turn_ledger_class();
PyMethodDef quarn_tool_effects_def();
PyMethodDef missing_reply_message_def();
PyMethodDef no_reply_tool_def();

// delivery.cpp
PyMethodDef evaluate_adapter_result_def();
PyMethodDef evaluate_delivery_event_def();
PyMethodDef evaluate_drain_candidate_def();
PyMethodDef evaluate_next_message_def();
PyMethodDef is_self_echo_def();

// events.cpp
PyMethodDef validate_event_payload_def();

}  // namespace qsc::py
