#include "core/events/participant.hpp"

namespace qsc::events {

namespace {

constexpr FieldRule kParticipant[] = {
    {"id", Rule::RequiredString},       {"type", Rule::RequiredString},
    {"name", Rule::RequiredString},     {"handle", Rule::String},
    {"description", Rule::NullableString}, {"is_remote", Rule::RemoteAlias},
};

}  // namespace

constinit const FieldRules kParticipantRules{kParticipant};

}  // namespace qsc::events
