#include "core/events/dispatch.hpp"

#include "core/events/message.hpp"

namespace qsc::events {

namespace {

void validate_object(EventType kind, JsonObject& payload, Validation& v) {
    if (kind == EventType::MessageCreated || kind == EventType::MessageUpdated) return validate_message(payload, v);
    const std::optional<FieldRules> rules = event_rules(kind);
    QSC_ASSERT(rules, "an event kind without rules");
    run_rules(payload, *rules, v);
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
