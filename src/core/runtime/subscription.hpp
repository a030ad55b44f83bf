// Join and leave bookkeeping of the room channels and the agent topics of one session. The host
// performs every join and leave; this only decides whether one may start, hands out its ticket
// and settles the report that presents that ticket.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/enums.hpp"
#include "core/ordered.hpp"
#include "core/runtime/ticket.hpp"
#include "core/text_hash.hpp"

namespace qsc {

// Where a key stands; RoomStatus and AgentTopicStatus share these positions.
enum class ChannelPhase : std::uint8_t { Absent, Pending, Joined, Leaving, NeedsReconciliation };

// One family of channels (rooms, or agent topics). A key is in at most one of the four
// containers: every transition moves it from one to another or drops it.
class ChannelBook {
public:
    ChannelPhase phase(const HashedText& key) const;
    bool is_joined(const HashedText& key) const { return joined_.contains(key); }
    bool is_pending(const HashedText& key, std::uint64_t ticket) const;
    // Joined keys with the tickets that joined them, oldest first.
    const OrderedMap<std::uint64_t>& joined() const noexcept { return joined_; }

    std::optional<std::uint64_t> begin_join(const HashedText& key, Counter& tickets);
    std::optional<std::uint64_t> begin_leave(const HashedText& key, Counter& tickets);
    // Settles a pending join with the given ticket into `to` (Joined, Absent or
    // NeedsReconciliation); false and no change when the ticket is not current.
    bool settle_join(const HashedText& key, std::uint64_t ticket, ChannelPhase to);
    bool settle_leave(const HashedText& key, std::uint64_t ticket, LeaveOutcome outcome);
    bool mark_rejoin_failed(const HashedText& key, std::uint64_t ticket);
    bool acknowledge_reconciled(const HashedText& key);
    void clear() noexcept;

private:
    OrderedMap<std::uint64_t> joined_;
    OrderedMap<std::uint64_t> pending_;
    OrderedMap<std::uint64_t> leaving_;
    OrderedSet needing_reconciliation_;
};

// How the host's two joins of a room's topics ended.
enum class RoomJoinAttempt : std::uint8_t {
    BothJoined,
    ChatRoomJoinFailed,
    ParticipantsFailedChatRoomLeft,
    ParticipantsFailedChatRoomNotLeft,
};

class SubscriptionTracker {
public:
    // Tests of the limits reach the counters directly.
    friend struct LimitsProbe;

    // The ticket the next operation begun gets, if it gets one.
    std::uint64_t next_ticket() const noexcept { return tickets_.peek(); }

    // Rooms.
    RoomStatus room_status(std::string_view room_id) const;
    bool is_room_subscribed(std::string_view room_id) const { return rooms_.is_joined(room_id); }
    const OrderedMap<std::uint64_t>& subscribed_rooms() const noexcept { return rooms_.joined(); }
    std::optional<std::uint64_t> begin_room_subscribe(std::string_view room_id) {
        return rooms_.begin_join(room_id, tickets_);
    }
    bool is_room_claim_current(std::string_view room_id, std::uint64_t ticket) const {
        return rooms_.is_pending(room_id, ticket);
    }
    RoomSubscribeResult record_room_join_attempt(std::string_view room_id, std::uint64_t ticket,
                                                 RoomJoinAttempt attempt);
    std::optional<std::uint64_t> unsubscribe_room(std::string_view room_id) {
        return rooms_.begin_leave(room_id, tickets_);
    }
    bool mark_room_leave_complete(std::string_view room_id, std::uint64_t ticket, LeaveOutcome outcome) {
        return rooms_.settle_leave(room_id, ticket, outcome);
    }
    bool mark_room_rejoin_failed(std::string_view room_id, std::uint64_t ticket) {
        return rooms_.mark_rejoin_failed(room_id, ticket);
    }
    bool acknowledge_room_reconciled(std::string_view room_id) { return rooms_.acknowledge_reconciled(room_id); }

    // Agent topics.
    AgentTopicStatus agent_topic_status(std::string_view topic) const;
    bool is_agent_topic_joined(std::string_view topic) const { return topics_.is_joined(topic); }
    const OrderedMap<std::uint64_t>& joined_agent_topics() const noexcept { return topics_.joined(); }
    std::optional<std::uint64_t> begin_agent_topic_join(std::string_view topic) {
        return topics_.begin_join(topic, tickets_);
    }
    bool is_agent_topic_claim_current(std::string_view topic, std::uint64_t ticket) const {
        return topics_.is_pending(topic, ticket);
    }
    bool record_agent_topic_join(std::string_view topic, std::uint64_t ticket, bool joined);
    bool record_agent_topic_join_ambiguous(std::string_view topic, std::uint64_t ticket) {
        return topics_.settle_join(topic, ticket, ChannelPhase::NeedsReconciliation);
    }
    std::optional<std::uint64_t> leave_agent_topic(std::string_view topic) {
        return topics_.begin_leave(topic, tickets_);
    }
    bool mark_agent_topic_leave_complete(std::string_view topic, std::uint64_t ticket, LeaveOutcome outcome) {
        return topics_.settle_leave(topic, ticket, outcome);
    }
    bool mark_agent_topic_rejoin_failed(std::string_view topic, std::uint64_t ticket) {
        return topics_.mark_rejoin_failed(topic, ticket);
    }
    bool acknowledge_agent_topic_reconciled(std::string_view topic) {
        return topics_.acknowledge_reconciled(topic);
    }

    // Session. The rejoin candidates after a reconnect are simply what is joined, so there is
    // nothing to change.
    void on_reconnected() noexcept {}
    // Every outstanding ticket becomes stale; the counter keeps counting so none is reused.
    void end_session() noexcept;

private:
    ChannelBook rooms_;
    ChannelBook topics_;
    Counter tickets_;  // one counter for rooms and agent topics together
};

}  // namespace qsc
