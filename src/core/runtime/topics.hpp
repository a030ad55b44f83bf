// The Phoenix Channels topic names: a fixed prefix, a colon and the id, inserted verbatim.
#pragma once

#include <string>
#include <string_view>

#include "core/enums.hpp"

namespace qsc {

std::string chat_room_topic(std::string_view room_id);
std::string room_participants_topic(std::string_view room_id);
// The kind's wire name, a colon and the agent id.
std::string agent_topic(AgentTopicKind kind, std::string_view agent_id);

}  // namespace qsc
