// What each area file contributes to the module's registration tables.
#pragma once

#include "py/frame/python.hpp"

namespace qsc::py {

// ledgers.cpp
PyTypeObject* make_claim_registry_class();
PyTypeObject* make_retry_tracker_class();

// session.cpp
PyTypeObject* make_session_class();
PyTypeObject* make_session_outcome_class();
PyTypeObject* make_session_policy_class();
PyMethodDef classify_close_def();
PyMethodDef classify_upgrade_def();

}  // namespace qsc::py
