#include "core/runtime/subscription.hpp"


namespace qsc {

static_assert(static_cast<int>(RoomStatus::Subscribed) == static_cast<int>(ChannelPhase::Joined) &&
              static_cast<int>(RoomStatus::NeedsReconciliation) == static_cast<int>(ChannelPhase::NeedsReconciliation));
static_assert(static_cast<int>(AgentTopicStatus::Joined) == static_cast<int>(ChannelPhase::Joined) &&
              static_cast<int>(AgentTopicStatus::NeedsReconciliation) ==
                  static_cast<int>(ChannelPhase::NeedsReconciliation));

std::optional<std::uint64_t> ChannelBook::begin_join(const HashedText& key, Counter& tickets) {
    if (tickets.exhausted()) return std::nullopt;
    // Every entry present is in a phase other than Absent.
    if (!entries_.emplace_back(key, Entry{tickets.peek(), ChannelPhase::Pending}).second) return std::nullopt;
    return tickets.next();
}

std::optional<std::uint64_t> ChannelBook::begin_leave(const HashedText& key, Counter& tickets) {
    Entry* e = entries_.find(key);
    if (!e || e->phase != ChannelPhase::Joined || tickets.exhausted()) return std::nullopt;
    *e = Entry{tickets.peek(), ChannelPhase::Leaving};
    --joined_;
    return tickets.next();
}

bool ChannelBook::settle_join(const HashedText& key, std::uint64_t ticket, ChannelPhase to) {
    Entries::Found found;
    const std::uint32_t i = current(key, ChannelPhase::Pending, ticket, found);
    if (i == kNone) return false;
    switch (to) {
        case ChannelPhase::Joined:
            entries_.value_at(i).phase = ChannelPhase::Joined;
            ++joined_;
            entries_.move_to_back_at(i);  // nothing to do for a join begun last
            break;
        case ChannelPhase::NeedsReconciliation: entries_.value_at(i).phase = ChannelPhase::NeedsReconciliation; break;
        default: entries_.erase_at(i, found); break;  // Absent: the key is simply gone
    }
    return true;
}

bool ChannelBook::settle_leave(const HashedText& key, std::uint64_t ticket, LeaveOutcome outcome) {
    Entries::Found found;
    const std::uint32_t i = current(key, ChannelPhase::Leaving, ticket, found);
    if (i == kNone) return false;
    if (outcome == LeaveOutcome::Left) entries_.erase_at(i, found);
    else entries_.value_at(i).phase = ChannelPhase::NeedsReconciliation;
    return true;
}

bool ChannelBook::mark_rejoin_failed(const HashedText& key, std::uint64_t ticket) {
    Entries::Found found;
    const std::uint32_t i = current(key, ChannelPhase::Joined, ticket, found);
    if (i == kNone) return false;
    entries_.value_at(i).phase = ChannelPhase::NeedsReconciliation;
    --joined_;
    return true;
}

bool ChannelBook::acknowledge_reconciled(const HashedText& key) {
    Entries::Found found;
    const std::uint32_t i = entries_.locate(key, found);
    if (i == kNone || entries_.value_at(i).phase != ChannelPhase::NeedsReconciliation) return false;
    entries_.erase_at(i, found);
    return true;
}

void ChannelBook::clear() noexcept {
    entries_.clear();
    joined_ = 0;
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
