// What the module keeps for its interpreter: type objects, enum singletons, cached strings.
// Created once, on the first import; nothing else is global.
#pragma once

#include <cstdint>

#include "core/enums.hpp"
#include "py/frame/python.hpp"

namespace qsc::py {

// The non-enumeration classes.
enum class ClassId : std::uint8_t {
    AgentFailure, CancelledDecisions, ClaimRegistry, DecisionRegistry, ParticipantRoster,
    RetryTracker, RoomReconciliation, RoomRoster, Session, SessionOutcome, SessionPolicy,
    SubscriptionTracker, TurnLedger,
};
inline constexpr int kClassCount = 13;
inline constexpr int kMaxVariants = 16;

struct ModuleState {
    PyInterpreterState* interpreter = nullptr;
    bool ready = false;
    PyTypeObject* classes[kClassCount] = {};
    PyTypeObject* enums[kEnumCount] = {};
    PyObject* variants[kEnumCount][kMaxVariants] = {};
    PyObject* wire_names[kEnumCount][kMaxVariants] = {};
    PyObject* panic_type = nullptr;
    // Looked up when a payload first needs them.
    PyObject* abc_sequence = nullptr;
    PyObject* abc_mapping = nullptr;
    PyObject* dataclass_fields = nullptr;
};

ModuleState& state() noexcept;

inline PyTypeObject* class_type(ClassId id) noexcept { return state().classes[static_cast<int>(id)]; }

// Interned str for a fixed key, made once.
PyObject* intern(const char* text);

}  // namespace qsc::py
