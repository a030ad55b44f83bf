#include "core/runtime/topics.hpp"

#include "core/error.hpp"

namespace qsc {

std::string chat_room_topic(std::string_view room_id) { return cat({"chat_room:", room_id}); }

std::string room_participants_topic(std::string_view room_id) { return cat({"room_participants:", room_id}); }

std::string agent_topic(AgentTopicKind kind, std::string_view agent_id) {
    return cat({wire_name(kind), ":", agent_id});
}

}  // namespace qsc
