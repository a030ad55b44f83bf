// "message_created" and "message_updated": one validator for both.
#pragma once

#include "core/events/support.hpp"

namespace qsc::events {

// The fields of a message and of each of its `metadata.mentions`.
inline constexpr FieldRule kMessageFields[] = {
    {"id", Rule::RequiredString},          {"content", Rule::RequiredString},
    {"message_type", Rule::RequiredString}, {"sender_type", Rule::RequiredString},
    {"sender_id", Rule::RequiredString},   {"inserted_at", Rule::RequiredString},
    {"updated_at", Rule::RequiredString},  {"sender_name", Rule::NullableString},
};

inline constexpr FieldRule kMentionFields[] = {
    {"id", Rule::RequiredString},
    {"username", Rule::NullableString},
    {"handle", Rule::NullableString},
    {"name", Rule::NullableString},
};

// Checks every field and makes sure `metadata` (an object), `metadata.mentions` and
// `attachments` (arrays) are present.
void validate_message(JsonObject& payload, Validation& v);

}  // namespace qsc::events
