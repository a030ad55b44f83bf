// Routes a payload to the validator of its event kind.
#pragma once

#include <optional>

#include "core/enums.hpp"
#include "core/error.hpp"
#include "core/json.hpp"

namespace qsc::events {

// Checks and normalises `value` in place; the issues found, carrying `trace`, if any.
// "event_created" payloads pass as they are.
std::optional<CoreError> normalize_event_payload(EventType kind, Json& value, TraceContext trace);

// The normalised payload, or the issues found.
Result<Json> validate_event_payload(EventType kind, Json value, TraceContext trace);

}  // namespace qsc::events
