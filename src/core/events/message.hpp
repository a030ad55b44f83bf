// "message_created" and "message_updated": one validator for both.
#pragma once

#include "core/events/support.hpp"

namespace qsc::events {

// Checks every field and makes sure `metadata` (an object), `metadata.mentions` and
// `attachments` (arrays) are present.
void validate_message(JsonObject& payload, Validation& v);

}  // namespace qsc::events
