// "participant_added" / "participant_removed": one table for both.
#pragma once

#include "core/events/support.hpp"

namespace qsc::events {

inline constexpr FieldRule kParticipantRules[] = {
    {"id", Rule::RequiredString},       {"type", Rule::RequiredString},
    {"name", Rule::RequiredString},     {"handle", Rule::String},
    {"description", Rule::NullableString}, {"is_remote", Rule::RemoteAlias},
};

}  // namespace qsc::events
