// "agent.control": interrupt, stop or play, for the whole agent or one room.
#pragma once

#include "core/events/support.hpp"

namespace qsc::events {

extern const FieldRules kAgentControlRules;

}  // namespace qsc::events
