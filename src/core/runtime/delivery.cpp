#include "core/runtime/delivery.hpp"

#include "core/enums.hpp"
#include "core/events/dispatch.hpp"

namespace qsc {

bool is_self_echo(std::string_view sender_id, std::string_view sender_type, std::string_view agent_id) noexcept {
    return sender_type == "Agent" && sender_id == agent_id;
}

CoreError missing_room_id(TraceContext trace) {
    return CoreError(Issue{"room_id", IssueCode::Missing, "room_id is missing from both the envelope and the payload"},
                     trace);
}

namespace {

[[gnu::cold]] CoreError room_id_not_a_string(std::string_view payload_key, TraceContext trace) {
    return CoreError(
        Issue{"room_id", IssueCode::WrongType, cat({"payload.", payload_key, " must be a string to serve as room_id"})},
        trace);
}

[[gnu::cold]] CoreError empty_message_id(TraceContext trace) {
    return CoreError(Issue{"id", IssueCode::Missing, "id must be a non-empty string"}, trace);
}

// A member that validation guarantees to be a string.
TextRef string_member(const JsonObject& payload, std::string_view key) {
    const Json* value = payload.find(key);
    QSC_ASSERT(value && value->is_string(), "validated message lacks a string member");
    return TextRef::of(value->as_string());
}

// The payload's `payload_key` member (null when absent) as the room id, the envelope's winning.
Result<TextRef> resolve_room_member(std::optional<TextRef> envelope_room_id, const Json* value,
                                    std::string_view payload_key, TraceContext trace) {
    if (envelope_room_id && !envelope_room_id->text.empty()) return *envelope_room_id;
    if (!value || value->is_null()) return missing_room_id(trace);
    if (!value->is_string()) return room_id_not_a_string(payload_key, trace);
    const JsonString& room = value->as_string();
    if (room.text().empty()) return missing_room_id(trace);
    return TextRef::of(room);
}

Result<EventDecision> route_message(std::optional<TextRef> room_id, Json& payload, std::string_view agent_id,
                                    TraceContext trace) {
    if (auto error = events::normalize_event_payload(EventType::MessageCreated, payload, trace)) return std::move(*error);
    const JsonObject& message = payload.as_object();
    const MessageFacts facts{string_member(message, "id"), string_member(message, "sender_id"),
                             string_member(message, "sender_type"), message.find("chat_room_id")};
    return route_valid_message(room_id, facts, agent_id, trace);
}

}  // namespace

Result<EventDecision> route_valid_message(std::optional<TextRef> room_id, const MessageFacts& message,
                                          std::string_view agent_id, TraceContext trace) {
    // Before the room id: an event with both faults reports only this one.
    if (message.id.text.empty()) return empty_message_id(trace);
    Result<TextRef> room = resolve_room_member(room_id, message.chat_room_id, "chat_room_id", trace);
    if (!room) return std::move(room.error());
    if (is_self_echo(message.sender_id.text, message.sender_type.text, agent_id))
        return EventDecision{EventDecision::Kind::SkipSelf, {}, *room, message.id, {}, {}};
    return EventDecision{EventDecision::Kind::Invocation, {}, *room, message.id, message.sender_id, message.sender_type};
}

Result<TextRef> resolve_room_id(std::optional<TextRef> envelope_room_id, const Json& payload,
                                std::string_view payload_key, TraceContext trace) {
    const JsonObject* object = payload.object_if();
    return resolve_room_member(envelope_room_id, object ? object->find(payload_key) : nullptr, payload_key, trace);
}

Result<EventDecision> route_room_cleanup(std::optional<TextRef> room_id, const Json* id_member, TraceContext trace) {
    Result<TextRef> room = resolve_room_member(room_id, id_member, "id", trace);
    if (!room) return std::move(room.error());
    return EventDecision{EventDecision::Kind::Cleanup, {}, *room, {}, {}, {}};
}

EventDecision ignored_event(TextRef event_type) noexcept {
    return EventDecision{EventDecision::Kind::Ignored, event_type, {}, {}, {}, {}};
}

Result<EventDecision> evaluate_delivery_event(TextRef event_type, std::optional<TextRef> room_id, Json& payload,
                                              std::string_view agent_id, TraceContext trace) {
    const std::optional<EventType> kind = from_wire_name<EventType>(event_type.text);
    if (kind == EventType::RoomRemoved || kind == EventType::RoomDeleted) {
        const JsonObject* object = payload.object_if();
        return route_room_cleanup(room_id, object ? object->find("id") : nullptr, trace);
    }
    if (kind != EventType::MessageCreated) return ignored_event(event_type);
    return route_message(room_id, payload, agent_id, trace);
}

NextMessageDecision evaluate_next_message(TextRef triggering_message_id, std::optional<TextRef> next_message_id) noexcept {
    using Kind = NextMessageDecision::Kind;
    if (!next_message_id) return {Kind::NoPending, {}};
    if (next_message_id->text == triggering_message_id.text) return {Kind::ReadyToClaim, {}};
    return {Kind::AlreadyProcessed, *next_message_id};
}

AckDecision evaluate_adapter_result(TextRef room_id, TextRef message_id, bool succeeded) noexcept {
    return {succeeded ? AckDecision::Kind::Processed : AckDecision::Kind::Failed, room_id, message_id};
}

}  // namespace qsc
