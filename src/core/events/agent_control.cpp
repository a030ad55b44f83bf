#include "core/events/agent_control.hpp"

namespace qsc::events {

namespace {

constexpr std::string_view kModes[] = {"interrupt", "stop", "play"};
constexpr std::string_view kScopes[] = {"agent", "room"};

// Scope and room id are not related: a "room" scope with a null room id passes.
constexpr FieldRule kAgentControl[] = {
    {"mode", Rule::ClosedString, kModes},
    {"scope", Rule::ClosedString, kScopes},
    {"agent_id", Rule::RequiredString},
    {"correlation_id", Rule::RequiredString},
    {"execution_id", Rule::RequiredNullableString},
    {"room_id", Rule::RequiredNullableString},
    {"reason", Rule::String},
    {"type", Rule::String},
};

}  // namespace

constinit const FieldRules kAgentControlRules{kAgentControl};

}  // namespace qsc::events
