// One agent turn's progress toward a reply, and the platform's tools with what each contributes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/enums.hpp"

namespace qsc {

// The platform's tools: the enum and the catalogue come from this one list.
#define QSC_QUARN_TOOLS(X)                                                                          \
    X(GetParticipants, "quarn_get_participants", Observe)                                           \
    X(LookupPeers, "quarn_lookup_peers", Observe)                                                   \
    X(ListContacts, "quarn_list_contacts", Observe)                                                 \
    X(ListContactRequests, "quarn_list_contact_requests", Observe)                                  \
    X(ListMemories, "quarn_list_memories", Observe)                                                 \
    X(GetMemory, "quarn_get_memory", Observe)                                                       \
    X(ListRoomFiles, "quarn_list_room_files", Observe)                                              \
    X(ReadRoomFile, "quarn_read_room_file", Observe)                                                \
    X(ListTasks, "quarn_list_tasks", Observe)                                                       \
    X(GetTask, "quarn_get_task", Observe)                                                           \
    X(GetTaskHistory, "quarn_get_task_history", Observe)                                            \
    X(GetBoard, "quarn_get_board", Observe)                                                         \
    /* sending an event does not settle a turn */                                                   \
    X(SendEvent, "quarn_send_event", Observe)                                                       \
    X(AddParticipant, "quarn_add_participant", Act)                                                 \
    X(RemoveParticipant, "quarn_remove_participant", Act)                                           \
    X(CreateChatroom, "quarn_create_chatroom", Act)                                                 \
    X(AddContact, "quarn_add_contact", Act)                                                         \
    X(RemoveContact, "quarn_remove_contact", Act)                                                   \
    X(RespondContactRequest, "quarn_respond_contact_request", Act)                                  \
    X(StoreMemory, "quarn_store_memory", Act)                                                       \
    X(SupersedeMemory, "quarn_supersede_memory", Act)                                               \
    X(ArchiveMemory, "quarn_archive_memory", Act)                                                   \
    X(CreateTask, "quarn_create_task", Act)                                                         \
    X(UpdateTask, "quarn_update_task", Act)                                                         \
    X(SetBoard, "quarn_set_board", Act)                                                             \
    X(SendMessage, "quarn_send_message", Reply)                                                     \
    /* a file posted to the room is a reply */                                                      \
    X(SendRoomFile, "quarn_send_room_file", Reply)                                                  \
    X(NoReply, "quarn_no_reply", Decline)

#define QSC_QUARN_TOOL_VARIANT(variant, name, effect) variant,
enum class QuarnTool : std::uint8_t { QSC_QUARN_TOOLS(QSC_QUARN_TOOL_VARIANT) };
#undef QSC_QUARN_TOOL_VARIANT

struct QuarnToolEntry {
    QuarnTool tool;
    std::string_view name;
    TurnEffect effect;
};

#define QSC_QUARN_TOOL_ENTRY(variant, name, effect) QuarnToolEntry{QuarnTool::variant, name, TurnEffect::effect},
inline constexpr QuarnToolEntry kQuarnTools[] = {QSC_QUARN_TOOLS(QSC_QUARN_TOOL_ENTRY)};
#undef QSC_QUARN_TOOL_ENTRY

constexpr std::string_view canonical_name(QuarnTool tool) noexcept { return kQuarnTools[static_cast<int>(tool)].name; }
constexpr TurnEffect effect_of(QuarnTool tool) noexcept { return kQuarnTools[static_cast<int>(tool)].effect; }

struct ToolParameterSpec {
    std::string_view name;
    std::string_view description;
    bool required;
};

struct ToolSpec {
    std::string_view name;
    std::string_view description;
    std::span<const ToolParameterSpec> parameters;
};

// The tool by which the agent ends a turn without posting anything.
const ToolSpec& no_reply_tool() noexcept;

// Posted to the room when a turn ends without a reply.
std::string_view missing_reply_message() noexcept;

// Flags only accumulate: a later, weaker effect never lowers them.
class TurnLedger {
public:
    void record(TurnEffect effect) noexcept;
    void settle() noexcept { settled_ = true; }
    void note_reported() noexcept { settled_ = true; }

    bool reply_settled() const noexcept { return reply_settled_; }
    TurnVerdict verdict() const noexcept { return settled_ ? TurnVerdict::Complete : TurnVerdict::MissingReply; }

private:
    bool settled_ = false;
    bool reply_settled_ = false;
};

}  // namespace qsc
