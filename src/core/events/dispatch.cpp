#include "core/events/dispatch.hpp"

#include "core/events/agent_control.hpp"
#include "core/events/contact.hpp"
#include "core/events/message.hpp"
#include "core/events/participant.hpp"
#include "core/events/room.hpp"
#include "core/events/supersede.hpp"

namespace qsc::events {

namespace {

void validate_object(EventType kind, JsonObject& payload, Validation& v) {
    switch (kind) {
        case EventType::MessageCreated:
        case EventType::MessageUpdated: return validate_message(payload, v);
        case EventType::RoomAdded:
        case EventType::RoomRemoved: return run_rules(payload, kRoomRules, v);
        case EventType::RoomDeleted: return run_rules(payload, kRoomDeletedRules, v);
        case EventType::ParticipantAdded:
        case EventType::ParticipantRemoved: return run_rules(payload, kParticipantRules, v);
        case EventType::ContactRequestReceived: return run_rules(payload, kContactRequestReceivedRules, v);
        case EventType::ContactRequestUpdated: return run_rules(payload, kContactRequestUpdatedRules, v);
        case EventType::ContactAdded: return run_rules(payload, kContactAddedRules, v);
        case EventType::ContactRemoved: return run_rules(payload, kContactRemovedRules, v);
        case EventType::Supersede: return run_rules(payload, kSupersedeRules, v);
        case EventType::AgentControl: return run_rules(payload, kAgentControlRules, v);
        case EventType::EventCreated: return;
    }
    QSC_ASSERT(false, "unknown event type");
}

[[gnu::cold]] CoreError not_an_object(TraceContext trace) {
    return CoreError(Issue{"", IssueCode::WrongType, "payload must be a JSON object"}, trace);
}

}  // namespace

std::optional<CoreError> normalize_event_payload(EventType kind, Json& value, TraceContext trace) {
    if (kind == EventType::EventCreated) return std::nullopt;
    JsonObject* payload = value.object_if();
    if (!payload) return not_an_object(trace);
    Validation v;
    validate_object(kind, *payload, v);
    return std::move(v).finish(trace);
}

Result<Json> validate_event_payload(EventType kind, Json value, TraceContext trace) {
    if (auto error = normalize_event_payload(kind, value, trace)) return std::move(*error);
    return value;
}

}  // namespace qsc::events
