#include "core/runtime/subscription.hpp"

#include <string>

namespace qsc {

static_assert(static_cast<int>(RoomStatus::Subscribed) == static_cast<int>(ChannelPhase::Joined) &&
              static_cast<int>(RoomStatus::NeedsReconciliation) == static_cast<int>(ChannelPhase::NeedsReconciliation));
static_assert(static_cast<int>(AgentTopicStatus::Joined) == static_cast<int>(ChannelPhase::Joined) &&
              static_cast<int>(AgentTopicStatus::NeedsReconciliation) ==
                  static_cast<int>(ChannelPhase::NeedsReconciliation));

namespace {

bool holds(const OrderedMap<std::uint64_t>& map, const HashedText& key, std::uint64_t ticket) {
    const std::uint64_t* held = map.find(key);
    return held && *held == ticket;
}

}  // namespace

ChannelPhase ChannelBook::phase(const HashedText& key) const {
    if (pending_.contains(key)) return ChannelPhase::Pending;
    if (joined_.contains(key)) return ChannelPhase::Joined;
    if (leaving_.contains(key)) return ChannelPhase::Leaving;
    if (needing_reconciliation_.contains(key)) return ChannelPhase::NeedsReconciliation;
    return ChannelPhase::Absent;
}

bool ChannelBook::is_pending(const HashedText& key, std::uint64_t ticket) const { return holds(pending_, key, ticket); }

std::optional<std::uint64_t> ChannelBook::begin_join(const HashedText& key, Counter& tickets) {
    if (phase(key) != ChannelPhase::Absent || tickets.exhausted()) return std::nullopt;
    pending_.emplace_back(key, tickets.peek());
    return tickets.next();
}

std::optional<std::uint64_t> ChannelBook::begin_leave(const HashedText& key, Counter& tickets) {
    if (!joined_.contains(key) || tickets.exhausted()) return std::nullopt;
    leaving_.emplace_back(key, tickets.peek());
    joined_.erase(key);
    return tickets.next();
}

bool ChannelBook::settle_join(const HashedText& key, std::uint64_t ticket, ChannelPhase to) {
    if (!holds(pending_, key, ticket)) return false;
    // The key lands in its new container before it leaves the old one, so a failed allocation
    // changes nothing.
    switch (to) {
        case ChannelPhase::Joined: joined_.touch_back(key) = ticket; break;
        case ChannelPhase::NeedsReconciliation: needing_reconciliation_.emplace_back(key); break;
        default: break;  // Absent: the key is simply gone
    }
    pending_.erase(key);
    return true;
}

bool ChannelBook::settle_leave(const HashedText& key, std::uint64_t ticket, LeaveOutcome outcome) {
    if (!holds(leaving_, key, ticket)) return false;
    if (outcome != LeaveOutcome::Left) needing_reconciliation_.emplace_back(key);
    leaving_.erase(key);
    return true;
}

bool ChannelBook::mark_rejoin_failed(const HashedText& key, std::uint64_t ticket) {
    const std::uint64_t* stored = joined_.find(key);
    if (!stored || *stored != ticket) return false;
    needing_reconciliation_.emplace_back(key);
    joined_.erase(key);
    return true;
}

bool ChannelBook::acknowledge_reconciled(const HashedText& key) {
    return needing_reconciliation_.erase(key);
}

void ChannelBook::clear() noexcept {
    joined_.clear();
    pending_.clear();
    leaving_.clear();
    needing_reconciliation_.clear();
}

RoomStatus SubscriptionTracker::room_status(std::string_view room_id) const {
    return static_cast<RoomStatus>(rooms_.phase(room_id));
}

AgentTopicStatus SubscriptionTracker::agent_topic_status(std::string_view topic) const {
    return static_cast<AgentTopicStatus>(topics_.phase(topic));
}

RoomSubscribeResult SubscriptionTracker::record_room_join_attempt(std::string_view room_id, std::uint64_t ticket,
                                                                  RoomJoinAttempt attempt) {
    struct Settlement {
        ChannelPhase to;
        RoomSubscribeResult result;
    };
    static constexpr Settlement kSettlements[] = {
        {ChannelPhase::Joined, RoomSubscribeResult::Subscribed},                // BothJoined
        {ChannelPhase::Absent, RoomSubscribeResult::JoinFailed},                // ChatRoomJoinFailed
        {ChannelPhase::Absent, RoomSubscribeResult::RolledBack},                // ...ChatRoomLeft
        {ChannelPhase::NeedsReconciliation, RoomSubscribeResult::RollbackFailed},  // ...ChatRoomNotLeft
    };
    const Settlement& s = kSettlements[static_cast<int>(attempt)];
    return rooms_.settle_join(room_id, ticket, s.to) ? s.result : RoomSubscribeResult::Stale;
}

bool SubscriptionTracker::record_agent_topic_join(std::string_view topic, std::uint64_t ticket, bool joined) {
    return topics_.settle_join(topic, ticket, joined ? ChannelPhase::Joined : ChannelPhase::Absent) && joined;
}

void SubscriptionTracker::end_session() noexcept {
    rooms_.clear();
    topics_.clear();
}

}  // namespace qsc
