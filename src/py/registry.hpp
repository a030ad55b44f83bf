// What each area file contributes to the module's registration tables.
#pragma once

#include "py/frame/python.hpp"

namespace qsc::py {

// session.cpp
PyTypeObject* make_session_class();
PyTypeObject* make_session_outcome_class();
PyTypeObject* make_session_policy_class();
PyMethodDef classify_close_def();
PyMethodDef classify_upgrade_def();

// delivery.cpp
PyMethodDef evaluate_adapter_result_def();
PyMethodDef evaluate_delivery_event_def();
PyMethodDef evaluate_drain_candidate_def();
PyMethodDef evaluate_next_message_def();
PyMethodDef is_self_echo_def();

// events.cpp
PyMethodDef validate_event_payload_def();

}  // namespace qsc::py
