// The closed sets of names of the system: the twenty enumeration classes, and the verdicts and
// issue codes answered as strs. Each variant is stored as its 0-based position; its CamelCase
// name, its wire name and, for a class, its docstrings live here once, beside its list.
#pragma once

#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

namespace qsc {

struct VariantName {
    std::string_view name;
    std::string_view wire;
};

// How Python shows an enumeration besides its variants.
enum class EnumStyle : std::uint8_t {
    Value,     // a `value` property
    WireName,  // a `wire_name` property and `from_wire_name`
};

// Every enumeration by its place in the module's registration order.
enum class EnumId : std::uint8_t {
    AgentTopicKind, AgentTopicStatus, ClaimOutcome, DeadReason, EventType, LeaveOutcome,
    MemoryListScope, MemorySegment, MemoryStatus, MemoryStoreScope, MemorySystem, MemoryType,
    ParkedReason, RoomMembership, RoomStatus, RoomSubscribeResult, SessionState, StaleReason,
    TurnEffect, TurnVerdict,
};
inline constexpr int kEnumCount = 20;

// Every closed set of names: the enumerations Python sees as classes, and the verdicts and codes
// it sees as strs.
template <class E>
struct ClosedSet;
// The closed sets that are enumeration classes.
template <class E>
struct EnumTraits;

#define QSC_ENUM_VARIANT(name, wire) name,
#define QSC_ENUM_NAME(name, wire) VariantName{#name, wire},
#define QSC_DEFINE_CLOSED_SET(Type, LIST)                                             \
    enum class Type : std::uint8_t { LIST(QSC_ENUM_VARIANT) };                        \
    template <>                                                                       \
    struct ClosedSet<Type> {                                                          \
        static constexpr std::string_view class_name = #Type;                         \
        static constexpr VariantName variants[] = {LIST(QSC_ENUM_NAME)};              \
        static constexpr std::uint8_t count = sizeof(variants) / sizeof(variants[0]); \
    };
// `doc` is the class's docstring, `property_doc` that of its wire-name property (may be null).
#define QSC_DEFINE_ENUM(Type, LIST, STYLE, DOC, PROPERTY_DOC) \
    QSC_DEFINE_CLOSED_SET(Type, LIST)                           \
    template <>                                                 \
    struct EnumTraits<Type> : ClosedSet<Type> {                 \
        static constexpr EnumId id = EnumId::Type;              \
        static constexpr EnumStyle style = EnumStyle::STYLE;    \
        static constexpr const char* doc = DOC;                 \
        static constexpr const char* property_doc = PROPERTY_DOC; \
    };

// ---- enumeration classes, in registration order

#define QSC_AGENT_TOPIC_KIND(X) \
    X(Control, "agent_control") X(Rooms, "agent_rooms") X(Contacts, "agent_contacts")
QSC_DEFINE_ENUM(AgentTopicKind, QSC_AGENT_TOPIC_KIND, WireName,
                "A single-topic Phoenix Channels channel kind keyed by one id (an agent's\n"
                "control/rooms/contacts channel).",
                nullptr)

#define QSC_AGENT_TOPIC_STATUS(X)                                                      \
    X(Absent, "absent") X(Pending, "pending") X(Joined, "joined") X(Leaving, "leaving") \
    X(NeedsReconciliation, "needs_reconciliation")
QSC_DEFINE_ENUM(AgentTopicStatus, QSC_AGENT_TOPIC_STATUS, Value, "", nullptr)

#define QSC_CLAIM_OUTCOME(X) \
    X(Claimed, "claimed") X(AlreadyClaimed, "already_claimed") X(Stale, "stale")
QSC_DEFINE_ENUM(ClaimOutcome, QSC_CLAIM_OUTCOME, Value, "", nullptr)

#define QSC_DEAD_REASON(X) X(Classified, "classified") X(RapidDisconnect, "rapid_disconnect")
QSC_DEFINE_ENUM(DeadReason, QSC_DEAD_REASON, Value, "", nullptr)

#define QSC_EVENT_TYPE(X)                                                                    \
    X(MessageCreated, "message_created") X(MessageUpdated, "message_updated")                \
    X(RoomAdded, "room_added") X(RoomRemoved, "room_removed") X(RoomDeleted, "room_deleted") \
    X(ParticipantAdded, "participant_added") X(ParticipantRemoved, "participant_removed")    \
    X(ContactRequestReceived, "contact_request_received")                                    \
    X(ContactRequestUpdated, "contact_request_updated") X(ContactAdded, "contact_added")     \
    X(ContactRemoved, "contact_removed") X(Supersede, "supersede")                           \
    X(AgentControl, "agent.control") X(EventCreated, "event_created")
QSC_DEFINE_ENUM(EventType, QSC_EVENT_TYPE, WireName,
                "Canonical inbound event names. Each variant's `wire_name` is the\n"
                "exact string the platform sends; `validate_event_payload` accepts that\n"
                "string (or an `EventType` instance).",
                "The exact string the platform sends over the wire for this event.")

#define QSC_LEAVE_OUTCOME(X) X(Left, "left") X(Failed, "failed") X(Unknown, "unknown")
QSC_DEFINE_ENUM(LeaveOutcome, QSC_LEAVE_OUTCOME, Value, "", nullptr)

#define QSC_MEMORY_LIST_SCOPE(X) \
    X(Subject, "subject") X(Organization, "organization") X(All, "all")
QSC_DEFINE_ENUM(MemoryListScope, QSC_MEMORY_LIST_SCOPE, WireName, "Scope filter for listing memories.", nullptr)

#define QSC_MEMORY_SEGMENT(X) \
    X(User, "user") X(Agent, "agent") X(Tool, "tool") X(Guideline, "guideline")
QSC_DEFINE_ENUM(MemorySegment, QSC_MEMORY_SEGMENT, WireName,
                "Logical subject category for a stored memory -- not a store/list scope.", nullptr)

#define QSC_MEMORY_STATUS(X) \
    X(Active, "active") X(Superseded, "superseded") X(Archived, "archived") X(All, "all")
QSC_DEFINE_ENUM(MemoryStatus, QSC_MEMORY_STATUS, WireName,
                "Lifecycle state; list filter and set by supersede/archive operations.", nullptr)

#define QSC_MEMORY_STORE_SCOPE(X) X(Subject, "subject") X(Organization, "organization")
QSC_DEFINE_ENUM(MemoryStoreScope, QSC_MEMORY_STORE_SCOPE, WireName, "Visibility scope for storing a memory.", nullptr)

#define QSC_MEMORY_SYSTEM(X) X(Sensory, "sensory") X(Working, "working") X(LongTerm, "long_term")
QSC_DEFINE_ENUM(MemorySystem, QSC_MEMORY_SYSTEM, WireName,
                "Memory tier; constrains which [`MemoryType`] values are valid for it\n"
                "(`validate_memory_type_for_system`).",
                nullptr)

#define QSC_MEMORY_TYPE(X)                                                               \
    X(Iconic, "iconic") X(Echoic, "echoic") X(Haptic, "haptic") X(Episodic, "episodic") \
    X(Semantic, "semantic") X(Procedural, "procedural")
QSC_DEFINE_ENUM(MemoryType, QSC_MEMORY_TYPE, WireName, "Content kind; must match the chosen [`MemorySystem`] tier.",
                nullptr)

#define QSC_PARKED_REASON(X) X(NotFound, "not_found") X(Rejected, "rejected")
QSC_DEFINE_ENUM(ParkedReason, QSC_PARKED_REASON, WireName,
                "Why the platform refused a terminal write that stays pending; the\n"
                "argument of `ClaimRegistry.park_ack`.",
                nullptr)

#define QSC_ROOM_MEMBERSHIP(X) \
    X(Unadmitted, "unadmitted") X(Admitting, "admitting") X(Admitted, "admitted")
QSC_DEFINE_ENUM(RoomMembership, QSC_ROOM_MEMBERSHIP, Value, "", nullptr)

#define QSC_ROOM_STATUS(X)                                                \
    X(Absent, "absent") X(Pending, "pending") X(Subscribed, "subscribed") \
    X(Leaving, "leaving") X(NeedsReconciliation, "needs_reconciliation")
QSC_DEFINE_ENUM(RoomStatus, QSC_ROOM_STATUS, Value, "", nullptr)

#define QSC_ROOM_SUBSCRIBE_RESULT(X)                                                      \
    X(Subscribed, "subscribed") X(JoinFailed, "join_failed") X(RolledBack, "rolled_back") \
    X(RollbackFailed, "rollback_failed") X(Stale, "stale")
QSC_DEFINE_ENUM(RoomSubscribeResult, QSC_ROOM_SUBSCRIBE_RESULT, Value, "", nullptr)

#define QSC_SESSION_STATE(X) \
    X(Connecting, "connecting") X(Up, "up") X(Reconnecting, "reconnecting") X(Dead, "dead")
QSC_DEFINE_ENUM(SessionState, QSC_SESSION_STATE, Value, "", nullptr)

#define QSC_STALE_REASON(X)                                             \
    X(WrongEpoch, "wrong_epoch") X(ClockRegression, "clock_regression") \
    X(DuplicateConnected, "duplicate_connected")                        \
    X(SupersedePredatesEpoch, "supersede_predates_epoch")
QSC_DEFINE_ENUM(StaleReason, QSC_STALE_REASON, Value, "", nullptr)

#define QSC_TURN_EFFECT(X) X(Observe, "observe") X(Act, "act") X(Reply, "reply") X(Decline, "decline")
QSC_DEFINE_ENUM(TurnEffect, QSC_TURN_EFFECT, WireName, "What a successful tool call contributes to the turn.", nullptr)

#define QSC_TURN_VERDICT(X) X(Complete, "complete") X(MissingReply, "missing_reply")
QSC_DEFINE_ENUM(TurnVerdict, QSC_TURN_VERDICT, WireName, "How the SDK ends a turn, per `TurnLedger.verdict()`.",
                nullptr)

// ---- closed sets answered as strs

#define QSC_ISSUE_CODE(X) X(Missing, "missing") X(WrongType, "wrong_type") X(InvalidValue, "invalid_value")
QSC_DEFINE_CLOSED_SET(IssueCode, QSC_ISSUE_CODE)

#define QSC_DELIVERY_ELIGIBILITY(X)                                                                \
    X(Self, "self") X(Pending, "pending") X(Completed, "completed") X(Exhausted, "exhausted")       \
    X(Failed, "failed") X(InFlight, "inflight") X(Runnable, "runnable")
QSC_DEFINE_CLOSED_SET(DeliveryEligibility, QSC_DELIVERY_ELIGIBILITY)

#define QSC_EVENT_ROUTE(X) X(Ignored, "ignored") X(Cleanup, "cleanup") X(SkipSelf, "skip_self") X(Invocation, "invocation")
QSC_DEFINE_CLOSED_SET(EventRoute, QSC_EVENT_ROUTE)

#define QSC_DRAIN_VERDICT(X) \
    X(NoCandidate, "no_candidate") X(SelfEcho, "self_echo") X(Drain, "drain") X(OutOfSnapshot, "out_of_snapshot")
QSC_DEFINE_CLOSED_SET(DrainVerdict, QSC_DRAIN_VERDICT)

#define QSC_NEXT_MESSAGE_VERDICT(X) \
    X(NoPending, "no_pending") X(ReadyToClaim, "ready_to_claim") X(AlreadyProcessed, "already_processed")
QSC_DEFINE_CLOSED_SET(NextMessageVerdict, QSC_NEXT_MESSAGE_VERDICT)

#define QSC_ACK_VERDICT(X) X(Processed, "processed") X(Failed, "failed")
QSC_DEFINE_CLOSED_SET(AckVerdict, QSC_ACK_VERDICT)

// What a table-driven binding needs of any enumeration class, by id.
struct EnumTable {
    EnumId id;
    std::string_view class_name;
    const VariantName* variants;
    std::uint8_t count;
    EnumStyle style;
    const char* doc;
    const char* property_doc;
};

template <class E>
constexpr EnumTable enum_table() noexcept {
    using T = EnumTraits<E>;
    return {T::id, T::class_name, T::variants, T::count, T::style, T::doc, T::property_doc};
}

inline constexpr EnumTable kEnumTables[] = {
    enum_table<AgentTopicKind>(), enum_table<AgentTopicStatus>(), enum_table<ClaimOutcome>(),
    enum_table<DeadReason>(),     enum_table<EventType>(),        enum_table<LeaveOutcome>(),
    enum_table<MemoryListScope>(), enum_table<MemorySegment>(),   enum_table<MemoryStatus>(),
    enum_table<MemoryStoreScope>(), enum_table<MemorySystem>(),   enum_table<MemoryType>(),
    enum_table<ParkedReason>(),   enum_table<RoomMembership>(),   enum_table<RoomStatus>(),
    enum_table<RoomSubscribeResult>(), enum_table<SessionState>(), enum_table<StaleReason>(),
    enum_table<TurnEffect>(),     enum_table<TurnVerdict>(),
};
static_assert(std::size(kEnumTables) == kEnumCount);
static_assert([] {
    for (int i = 0; i < kEnumCount; ++i)
        if (static_cast<int>(kEnumTables[i].id) != i) return false;
    return true;
}(), "kEnumTables is indexed by EnumId");

template <class E>
constexpr std::string_view wire_name(E value) noexcept {
    return ClosedSet<E>::variants[static_cast<std::uint8_t>(value)].wire;
}

// Exact, case-sensitive match against the wire names; no aliases.
template <class E>
constexpr std::optional<E> from_wire_name(std::string_view name) noexcept {
    for (std::uint8_t i = 0; i < ClosedSet<E>::count; ++i)
        if (ClosedSet<E>::variants[i].wire == name) return static_cast<E>(i);
    return std::nullopt;
}

}  // namespace qsc
