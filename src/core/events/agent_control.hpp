// "agent.control": interrupt, stop or play, for the whole agent or one room.
#pragma once

#include <string_view>

#include "core/events/support.hpp"

namespace qsc::events {

inline constexpr std::string_view kAgentControlModes[] = {"interrupt", "stop", "play"};
inline constexpr std::string_view kAgentControlScopes[] = {"agent", "room"};

// Scope and room id are not related: a "room" scope with a null room id passes.
inline constexpr FieldRule kAgentControlRules[] = {
    {"mode", Rule::ClosedString, kAgentControlModes},
    {"scope", Rule::ClosedString, kAgentControlScopes},
    {"agent_id", Rule::RequiredString},
    {"correlation_id", Rule::RequiredString},
    {"execution_id", Rule::RequiredNullableString},
    {"room_id", Rule::RequiredNullableString},
    {"reason", Rule::String},
    {"type", Rule::String},
};

}  // namespace qsc::events
