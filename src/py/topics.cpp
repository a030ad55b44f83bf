// Channel topics: the room topic names and the agent topics of AgentTopicKind.
#include <string>
#include <string_view>

#include "core/runtime/topics.hpp"
#include "py/frame/binding.hpp"
#include "py/frame/enums.hpp"
#include "py/frame/variant_method.hpp"
#include "py/registry.hpp"

namespace qsc::py {

namespace {

template <std::string (*Topic)(std::string_view)>
PyObject* room_topic(const Args& a) {
    std::string_view room_id;
    if (!a.get(0, room_id)) return nullptr;
    return str(Topic(room_id));
}

const Signature kChatRoomTopic{Callable::Function, "", "chat_room_topic(room_id)",
                               "This platform's Phoenix Channels topic for a room's ``chat_room`` channel."};
const Signature kRoomParticipantsTopic{
    Callable::Function, "", "room_participants_topic(room_id)",
    "This platform's Phoenix Channels topic for a room's ``room_participants``\nchannel."};

const Signature kTopic{Callable::Method, "AgentTopicKind", "topic($self, agent_id)", ""};
PyObject* topic(AgentTopicKind kind, const Args& a) {
    std::string_view agent_id;
    if (!a.get(0, agent_id)) return nullptr;
    return str(agent_topic(kind, agent_id));
}

}  // namespace

PyTypeObject* make_agent_topic_kind_class() {
    static PyMethodDef methods[] = {variant_method_def<AgentTopicKind, kTopic, &topic>(), kMethodsEnd};
    return make_enum_class(EnumId::AgentTopicKind, methods);
}

PyMethodDef chat_room_topic_def() { return function_def<kChatRoomTopic, &room_topic<&chat_room_topic>>(); }
PyMethodDef room_participants_topic_def() {
    return function_def<kRoomParticipantsTopic, &room_topic<&room_participants_topic>>();
}

}  // namespace qsc::py
