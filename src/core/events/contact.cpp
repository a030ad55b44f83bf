#include "core/events/contact.hpp"

namespace qsc::events {

namespace {

constexpr FieldRule kContactAdded[] = {
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

constexpr FieldRule kContactRemoved[] = {{"id", Rule::RequiredString}};

constexpr FieldRule kContactRequestReceived[] = {
    {"id", Rule::RequiredString},
    {"status", Rule::RequiredString},
    {"inserted_at", Rule::RequiredString},
    {"from_handle", Rule::NullAsAbsentString},
    {"from_name", Rule::NullAsAbsentString},
    {"message", Rule::NullAsAbsentString},
};

constexpr FieldRule kContactRequestUpdated[] = {
    {"id", Rule::RequiredString},
    {"status", Rule::RequiredString},
};

}  // namespace

constinit const FieldRules kContactAddedRules{kContactAdded};
constinit const FieldRules kContactRemovedRules{kContactRemoved};
constinit const FieldRules kContactRequestReceivedRules{kContactRequestReceived};
constinit const FieldRules kContactRequestUpdatedRules{kContactRequestUpdated};

}  // namespace qsc::events
