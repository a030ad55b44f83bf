// Contacts and contact requests: "contact_added", "contact_removed",
// "contact_request_received", "contact_request_updated".
#pragma once

#include "core/events/support.hpp"

namespace qsc::events {

inline constexpr FieldRule kContactAddedRules[] = {
    {"id", Rule::RequiredString},
    {"type", Rule::RequiredString},
    {"inserted_at", Rule::RequiredString},
    {"handle", Rule::RequiredNullableString},
    {"name", Rule::RequiredNullableString},
    {"description", Rule::String},
    {"listed_in_directory", Rule::Boolean},
    {"tags", Rule::Array},
    {"is_remote", Rule::RemoteAlias},
};

inline constexpr FieldRule kContactRemovedRules[] = {{"id", Rule::RequiredString}};

inline constexpr FieldRule kContactRequestReceivedRules[] = {
    {"id", Rule::RequiredString},
    {"status", Rule::RequiredString},
    {"inserted_at", Rule::RequiredString},
    {"from_handle", Rule::NullAsAbsentString},
    {"from_name", Rule::NullAsAbsentString},
    {"message", Rule::NullAsAbsentString},
};

inline constexpr FieldRule kContactRequestUpdatedRules[] = {
    {"id", Rule::RequiredString},
    {"status", Rule::RequiredString},
};

}  // namespace qsc::events
