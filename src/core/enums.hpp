// The twenty closed enumerations of the system. Each variant is stored as its 0-based position;
// its CamelCase name and its wire name live here once, in the tables below.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qsc {

struct VariantName {
    std::string_view name;
    std::string_view wire;
};

// Every enumeration by its place in the module's registration order.
enum class EnumId : std::uint8_t {
    AgentTopicKind, AgentTopicStatus, ClaimOutcome, DeadReason, EventType, LeaveOutcome,
    MemoryListScope, MemorySegment, MemoryStatus, MemoryStoreScope, MemorySystem, MemoryType,
    ParkedReason, RoomMembership, RoomStatus, RoomSubscribeResult, SessionState, StaleReason,
    TurnEffect, TurnVerdict,
};
inline constexpr int kEnumCount = 20;

template <class E>
struct EnumTraits;

#define QSC_ENUM_VARIANT(name, wire) name,
#define QSC_ENUM_NAME(name, wire) VariantName{#name, wire},
#define QSC_DEFINE_ENUM(Type, LIST)                                                   \
    enum class Type : std::uint8_t { LIST(QSC_ENUM_VARIANT) };                        \
    template <>                                                                       \
    struct EnumTraits<Type> {                                                         \
        static constexpr EnumId id = EnumId::Type;                                    \
        static constexpr std::string_view class_name = #Type;                         \
        static constexpr VariantName variants[] = {LIST(QSC_ENUM_NAME)};              \
        static constexpr std::uint8_t count = sizeof(variants) / sizeof(variants[0]); \
    };

#define QSC_EVENT_TYPE(X)                                                                    \
    X(MessageCreated, "message_created") X(MessageUpdated, "message_updated")                \
    X(RoomAdded, "room_added") X(RoomRemoved, "room_removed") X(RoomDeleted, "room_deleted") \
    X(ParticipantAdded, "participant_added") X(ParticipantRemoved, "participant_removed")    \
    X(ContactRequestReceived, "contact_request_received")                                    \
    X(ContactRequestUpdated, "contact_request_updated") X(ContactAdded, "contact_added")     \
    X(ContactRemoved, "contact_removed") X(Supersede, "supersede")                           \
    X(AgentControl, "agent.control") X(EventCreated, "event_created")
#define QSC_MEMORY_TYPE(X)                                                               \
    X(Iconic, "iconic") X(Echoic, "echoic") X(Haptic, "haptic") X(Episodic, "episodic") \
    X(Semantic, "semantic") X(Procedural, "procedural")
#define QSC_MEMORY_STATUS(X) \
    X(Active, "active") X(Superseded, "superseded") X(Archived, "archived") X(All, "all")
#define QSC_MEMORY_SYSTEM(X) X(Sensory, "sensory") X(Working, "working") X(LongTerm, "long_term")
#define QSC_MEMORY_SEGMENT(X) \
    X(User, "user") X(Agent, "agent") X(Tool, "tool") X(Guideline, "guideline")
#define QSC_MEMORY_LIST_SCOPE(X) \
    X(Subject, "subject") X(Organization, "organization") X(All, "all")
#define QSC_MEMORY_STORE_SCOPE(X) X(Subject, "subject") X(Organization, "organization")
#define QSC_PARKED_REASON(X) X(NotFound, "not_found") X(Rejected, "rejected")
#define QSC_SESSION_STATE(X) \
    X(Connecting, "connecting") X(Up, "up") X(Reconnecting, "reconnecting") X(Dead, "dead")
#define QSC_DEAD_REASON(X) X(Classified, "classified") X(RapidDisconnect, "rapid_disconnect")
#define QSC_STALE_REASON(X)                                          \
    X(WrongEpoch, "wrong_epoch") X(ClockRegression, "clock_regression") \
    X(DuplicateConnected, "duplicate_connected")                      \
    X(SupersedePredatesEpoch, "supersede_predates_epoch")
#define QSC_AGENT_TOPIC_KIND(X) \
    X(Control, "agent_control") X(Rooms, "agent_rooms") X(Contacts, "agent_contacts")
#define QSC_ROOM_STATUS(X)                                                           \
    X(Absent, "absent") X(Pending, "pending") X(Subscribed, "subscribed")            \
    X(Leaving, "leaving") X(NeedsReconciliation, "needs_reconciliation")
#define QSC_AGENT_TOPIC_STATUS(X)                                                    \
    X(Absent, "absent") X(Pending, "pending") X(Joined, "joined") X(Leaving, "leaving") \
    X(NeedsReconciliation, "needs_reconciliation")
#define QSC_ROOM_SUBSCRIBE_RESULT(X)                                                  \
    X(Subscribed, "subscribed") X(JoinFailed, "join_failed") X(RolledBack, "rolled_back") \
    X(RollbackFailed, "rollback_failed") X(Stale, "stale")
#define QSC_LEAVE_OUTCOME(X) X(Left, "left") X(Failed, "failed") X(Unknown, "unknown")
#define QSC_ROOM_MEMBERSHIP(X) \
    X(Unadmitted, "unadmitted") X(Admitting, "admitting") X(Admitted, "admitted")
#define QSC_CLAIM_OUTCOME(X) \
    X(Claimed, "claimed") X(AlreadyClaimed, "already_claimed") X(Stale, "stale")
#define QSC_TURN_EFFECT(X) X(Observe, "observe") X(Act, "act") X(Reply, "reply") X(Decline, "decline")
#define QSC_TURN_VERDICT(X) X(Complete, "complete") X(MissingReply, "missing_reply")

QSC_DEFINE_ENUM(AgentTopicKind, QSC_AGENT_TOPIC_KIND)
QSC_DEFINE_ENUM(AgentTopicStatus, QSC_AGENT_TOPIC_STATUS)
QSC_DEFINE_ENUM(ClaimOutcome, QSC_CLAIM_OUTCOME)
QSC_DEFINE_ENUM(DeadReason, QSC_DEAD_REASON)
QSC_DEFINE_ENUM(EventType, QSC_EVENT_TYPE)
QSC_DEFINE_ENUM(LeaveOutcome, QSC_LEAVE_OUTCOME)
QSC_DEFINE_ENUM(MemoryListScope, QSC_MEMORY_LIST_SCOPE)
QSC_DEFINE_ENUM(MemorySegment, QSC_MEMORY_SEGMENT)
QSC_DEFINE_ENUM(MemoryStatus, QSC_MEMORY_STATUS)
QSC_DEFINE_ENUM(MemoryStoreScope, QSC_MEMORY_STORE_SCOPE)
QSC_DEFINE_ENUM(MemorySystem, QSC_MEMORY_SYSTEM)
QSC_DEFINE_ENUM(MemoryType, QSC_MEMORY_TYPE)
QSC_DEFINE_ENUM(ParkedReason, QSC_PARKED_REASON)
QSC_DEFINE_ENUM(RoomMembership, QSC_ROOM_MEMBERSHIP)
QSC_DEFINE_ENUM(RoomStatus, QSC_ROOM_STATUS)
QSC_DEFINE_ENUM(RoomSubscribeResult, QSC_ROOM_SUBSCRIBE_RESULT)
QSC_DEFINE_ENUM(SessionState, QSC_SESSION_STATE)
QSC_DEFINE_ENUM(StaleReason, QSC_STALE_REASON)
QSC_DEFINE_ENUM(TurnEffect, QSC_TURN_EFFECT)
QSC_DEFINE_ENUM(TurnVerdict, QSC_TURN_VERDICT)

// The variant names of any enumeration, by id: what a table-driven binding needs.
struct EnumTable {
    std::string_view class_name;
    const VariantName* variants;
    std::uint8_t count;
};

template <class E>
constexpr EnumTable enum_table() noexcept {
    return {EnumTraits<E>::class_name, EnumTraits<E>::variants, EnumTraits<E>::count};
}

inline constexpr EnumTable kEnumTables[kEnumCount] = {
    enum_table<AgentTopicKind>(), enum_table<AgentTopicStatus>(), enum_table<ClaimOutcome>(),
    enum_table<DeadReason>(),     enum_table<EventType>(),        enum_table<LeaveOutcome>(),
    enum_table<MemoryListScope>(), enum_table<MemorySegment>(),   enum_table<MemoryStatus>(),
    enum_table<MemoryStoreScope>(), enum_table<MemorySystem>(),   enum_table<MemoryType>(),
    enum_table<ParkedReason>(),   enum_table<RoomMembership>(),   enum_table<RoomStatus>(),
    enum_table<RoomSubscribeResult>(), enum_table<SessionState>(), enum_table<StaleReason>(),
    enum_table<TurnEffect>(),     enum_table<TurnVerdict>(),
};

template <class E>
constexpr std::string_view wire_name(E value) noexcept {
    return EnumTraits<E>::variants[static_cast<std::uint8_t>(value)].wire;
}

// Exact, case-sensitive match against the wire names; no aliases.
template <class E>
constexpr std::optional<E> from_wire_name(std::string_view name) noexcept {
    for (std::uint8_t i = 0; i < EnumTraits<E>::count; ++i)
        if (EnumTraits<E>::variants[i].wire == name) return static_cast<E>(i);
    return std::nullopt;
}

}  // namespace qsc
