// The stateless routing decisions of the delivery loop. Decisions refer to the strings of their
// inputs (TextRef), so they are valid as long as those are.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/error.hpp"
#include "core/json.hpp"
#include "core/text.hpp"

namespace qsc {

// sender_type "Agent" (exactly) and the agent's own id: the agent hearing itself.
bool is_self_echo(std::string_view sender_id, std::string_view sender_type, std::string_view agent_id) noexcept;

struct EventDecision {
    using Kind = EventRoute;
    Kind kind;
    TextRef event_type;  // Ignored
    TextRef room_id;     // the rest
    TextRef message_id;  // SkipSelf, Invocation
    TextRef sender_id;   // Invocation
    TextRef sender_type;
};

// Validates "message_created" payloads in place; the decision refers into `payload`.
Result<EventDecision> evaluate_delivery_event(TextRef event_type, std::optional<TextRef> room_id, Json& payload,
                                              std::string_view agent_id, TraceContext trace);

// What routing reads of a "message_created" payload that passed validation; `chat_room_id` is
// the payload's member of that name, or null when it has none.
struct MessageFacts {
    TextRef id;
    TextRef sender_id;
    TextRef sender_type;
    const Json* chat_room_id = nullptr;
};

// The decision for a valid "message_created" payload, told by its facts alone.
Result<EventDecision> route_valid_message(std::optional<TextRef> room_id, const MessageFacts& message,
                                          std::string_view agent_id, TraceContext trace);

// The decision for a "room_removed" or "room_deleted" payload, told by its `id` member (null
// when it has none, or is not an object).
Result<EventDecision> route_room_cleanup(std::optional<TextRef> room_id, const Json* id_member, TraceContext trace);

// The decision for any other event: nothing to do.
EventDecision ignored_event(TextRef event_type) noexcept;

// The envelope's room id wins; else the payload's `payload_key` member. Empty counts as absent.
Result<TextRef> resolve_room_id(std::optional<TextRef> envelope_room_id, const Json& payload,
                                std::string_view payload_key, TraceContext trace);
CoreError missing_room_id(TraceContext trace);

struct DrainCandidate {
    TextRef id;
    TextRef sender_id;
    TextRef sender_type;
};

struct DrainStep {
    using Kind = DrainVerdict;
    Kind kind;
    TextRef message_id;  // all but NoCandidate
};

// `seen_ids` answers `contains(id)`; only membership is asked of it.
template <class SeenIds>
DrainStep evaluate_drain_candidate(const std::optional<DrainCandidate>& candidate, const SeenIds& seen_ids,
                                   std::string_view agent_id) {
    using Kind = DrainStep::Kind;
    if (!candidate) return {Kind::NoCandidate, {}};
    // An echo is an echo even when it was seen.
    if (is_self_echo(candidate->sender_id.text, candidate->sender_type.text, agent_id))
        return {Kind::SelfEcho, candidate->id};
    return {seen_ids.contains(candidate->id.text) ? Kind::Drain : Kind::OutOfSnapshot, candidate->id};
}

struct NextMessageDecision {
    using Kind = NextMessageVerdict;
    Kind kind;
    TextRef next_open_id;  // AlreadyProcessed
};

NextMessageDecision evaluate_next_message(TextRef triggering_message_id, std::optional<TextRef> next_message_id) noexcept;

struct AckDecision {
    using Kind = AckVerdict;
    Kind kind;
    TextRef room_id;
    TextRef message_id;
};

AckDecision evaluate_adapter_result(TextRef room_id, TextRef message_id, bool succeeded) noexcept;

}  // namespace qsc
