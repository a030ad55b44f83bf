// Routes a payload to the validator of its event kind.
#pragma once

#include <optional>

#include "core/enums.hpp"
#include "core/error.hpp"
#include "core/events/agent_control.hpp"
#include "core/events/contact.hpp"
#include "core/events/participant.hpp"
#include "core/events/room.hpp"
#include "core/events/supersede.hpp"
#include "core/json.hpp"

namespace qsc::events {

// The table that alone checks a payload of `kind`: none for a message (validate_message checks
// it) or for "event_created" (not checked). Constant, so that a binding can derive from it.
constexpr std::optional<FieldRules> event_rules(EventType kind) noexcept {
    switch (kind) {
        case EventType::RoomAdded:
        case EventType::RoomRemoved: return kRoomRules;
        case EventType::RoomDeleted: return kRoomDeletedRules;
        case EventType::ParticipantAdded:
        case EventType::ParticipantRemoved: return kParticipantRules;
        case EventType::ContactRequestReceived: return kContactRequestReceivedRules;
        case EventType::ContactRequestUpdated: return kContactRequestUpdatedRules;
        case EventType::ContactAdded: return kContactAddedRules;
        case EventType::ContactRemoved: return kContactRemovedRules;
        case EventType::Supersede: return kSupersedeRules;
        case EventType::AgentControl: return kAgentControlRules;
        case EventType::MessageCreated:
        case EventType::MessageUpdated:
        case EventType::EventCreated: break;
    }
    return std::nullopt;
}

// Checks and normalises `value` in place; the issues found, carrying `trace`, if any.
// "event_created" payloads pass as they are.
std::optional<CoreError> normalize_event_payload(EventType kind, Json& value, TraceContext trace);

// The normalised payload, or the issues found.
Result<Json> validate_event_payload(EventType kind, Json value, TraceContext trace);

}  // namespace qsc::events
