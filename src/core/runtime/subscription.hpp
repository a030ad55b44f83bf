// Join and leave bookkeeping of the room channels and the agent topics of one session. The host
// performs every join and leave; this only decides whether one may start, hands out its ticket
// and settles the report that presents that ticket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>

#include "core/enums.hpp"
#include "core/id_set.hpp"
#include "core/runtime/ticket.hpp"
#include "core/text_hash.hpp"

namespace qsc {

// Where a key stands; RoomStatus and AgentTopicStatus share these positions.
enum class ChannelPhase : std::uint8_t { Absent, Pending, Joined, Leaving, NeedsReconciliation };

// One family of channels (rooms, or agent topics): one entry per key that is not Absent,
// holding its phase and the ticket of that phase, so a transition rewrites the entry in place
// and only joining and leaving for good add or take out one. The entries sit in an IdMap: a
// room id packed beside its ticket and phase, 48 bytes and a slot a room.
class ChannelBook {
    struct Entry {
        std::uint64_t ticket;  // of the join (Pending, Joined) or the leave (Leaving)
        ChannelPhase phase;
    };
    using Entries = IdMap<Entry>;
    static constexpr std::uint32_t kNone = Entries::kNone;

public:
    ChannelBook() noexcept = default;
    // A moved-from book is empty, with no count left over from the other's entries.
    ChannelBook(ChannelBook&& other) noexcept
        : entries_(std::move(other.entries_)), joined_(std::exchange(other.joined_, 0)) {}
    ChannelBook& operator=(ChannelBook&& other) noexcept {
        entries_ = std::move(other.entries_);
        joined_ = std::exchange(other.joined_, 0);
        return *this;
    }

    // The joined keys with the tickets that joined them, in the order they became joined.
    // Entries of the other phases are passed over, so walking it costs O(entries). A key read
    // is valid until the iterator moves on (a packed id is written out into it).
    class JoinedView {
    public:
        class Iterator {
        public:
            using iterator_category = std::forward_iterator_tag;
            using difference_type = std::ptrdiff_t;
            using value_type = std::pair<std::string_view, std::uint64_t>;

            Iterator() noexcept = default;
            explicit Iterator(Entries::const_iterator at) noexcept : at_(at) { skip(); }
            value_type operator*() const noexcept { return {at_.key(), at_.value().ticket}; }
            Iterator& operator++() noexcept {
                ++at_;
                skip();
                return *this;
            }
            Iterator operator++(int) noexcept {
                Iterator old = *this;
                ++*this;
                return old;
            }
            bool operator==(const Iterator& other) const noexcept { return at_ == other.at_; }

        private:
            // Reads the phases alone: the ids passed over are never written out.
            void skip() noexcept {
                while (at_ != Entries::const_iterator() && at_.value().phase != ChannelPhase::Joined) ++at_;
            }
            Entries::const_iterator at_;
        };

        explicit JoinedView(const ChannelBook& book) noexcept : book_(&book) {}
        Iterator begin() const noexcept { return Iterator(book_->entries_.begin()); }
        Iterator end() const noexcept { return Iterator(); }
        std::size_t size() const noexcept { return book_->joined_; }

    private:
        const ChannelBook* book_;
    };

    ChannelPhase phase(const HashedText& key) const noexcept {
        const Entry* e = entries_.find(key);
        return e ? e->phase : ChannelPhase::Absent;
    }
    bool is_joined(const HashedText& key) const noexcept { return holds(key, ChannelPhase::Joined); }
    bool is_pending(const HashedText& key, std::uint64_t ticket) const noexcept {
        const Entry* e = entries_.find(key);
        return e && e->phase == ChannelPhase::Pending && e->ticket == ticket;
    }
    JoinedView joined() const noexcept { return JoinedView(*this); }

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
    bool holds(const HashedText& key, ChannelPhase phase) const noexcept {
        const Entry* e = entries_.find(key);
        return e && e->phase == phase;
    }
    // The place of the entry of `key` in `phase` under `ticket`, or kNone.
    std::uint32_t current(const HashedText& key, ChannelPhase phase, std::uint64_t ticket,
                          Entries::Found& found) const noexcept {
        const std::uint32_t i = entries_.locate(key, found);
        if (i == kNone) return kNone;
        const Entry& e = entries_.value_at(i);
        return e.phase == phase && e.ticket == ticket ? i : kNone;
    }

    // A key becomes joined at the back of the order, so the joined keys, read in order, are in
    // the order they became joined; the other phases never move an entry.
    Entries entries_;
    std::size_t joined_ = 0;
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
    ChannelBook::JoinedView subscribed_rooms() const noexcept { return rooms_.joined(); }
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
    ChannelBook::JoinedView joined_agent_topics() const noexcept { return topics_.joined(); }
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
