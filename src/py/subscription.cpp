// SubscriptionTracker: the two topics of every room and the agent topics, joined under tickets.
#include <cstdint>
#include <string_view>

#include "core/runtime/subscription.hpp"
#include "py/frame/binding.hpp"
#include "py/frame/delegate.hpp"
#include "py/frame/enums.hpp"
#include "py/registry.hpp"

namespace qsc::py {

using TrackerObject = Object<SubscriptionTracker, ClassId::SubscriptionTracker>;

namespace {

using std::string_view;
using Ticket = std::uint64_t;
constexpr Use kRead = Use::Shared;
constexpr Use kWrite = Use::Exclusive;

const Signature kTrackerNew{Callable::Constructor, "SubscriptionTracker", "SubscriptionTracker()",
                            "Transport-independent subscription decisions for one agent session."};
PyObject* tracker_new(const Args&) { return make_object<TrackerObject>(SubscriptionTracker()); }

#define QSC_TRACKER_SIGNATURE(k, text) const Signature k{Callable::Method, "SubscriptionTracker", text, ""};
QSC_TRACKER_SIGNATURE(kRoomStatus, "room_status($self, room_id)")
QSC_TRACKER_SIGNATURE(kIsRoomSubscribed, "is_room_subscribed($self, room_id)")
QSC_TRACKER_SIGNATURE(kSubscribedRoomIds, "subscribed_room_ids($self)")
QSC_TRACKER_SIGNATURE(kBeginRoomSubscribe, "begin_room_subscribe($self, room_id)")
QSC_TRACKER_SIGNATURE(kIsRoomClaimCurrent, "is_room_claim_current($self, room_id, ticket)")
QSC_TRACKER_SIGNATURE(kBothJoined, "record_both_room_topics_joined($self, room_id, ticket)")
QSC_TRACKER_SIGNATURE(kChatRoomJoinFailed, "record_chat_room_join_failed($self, room_id, ticket)")
QSC_TRACKER_SIGNATURE(kParticipantsJoinFailed,
                      "record_room_participants_join_failed($self, room_id, ticket, chat_room_left)")
QSC_TRACKER_SIGNATURE(kUnsubscribeRoom, "unsubscribe_room($self, room_id)")
QSC_TRACKER_SIGNATURE(kRoomLeaveComplete, "mark_room_leave_complete($self, room_id, ticket, outcome)")
QSC_TRACKER_SIGNATURE(kRoomRejoinCandidates, "room_rejoin_candidates($self)")
QSC_TRACKER_SIGNATURE(kRoomRejoinFailed, "mark_room_rejoin_failed($self, room_id, ticket)")
QSC_TRACKER_SIGNATURE(kRoomReconciled, "acknowledge_room_reconciled($self, room_id)")
QSC_TRACKER_SIGNATURE(kTopicStatus, "agent_topic_status($self, topic)")
QSC_TRACKER_SIGNATURE(kIsTopicJoined, "is_agent_topic_joined($self, topic)")
QSC_TRACKER_SIGNATURE(kJoinedTopics, "joined_agent_topics($self)")
QSC_TRACKER_SIGNATURE(kBeginTopicJoin, "begin_agent_topic_join($self, topic)")
QSC_TRACKER_SIGNATURE(kIsTopicClaimCurrent, "is_agent_topic_claim_current($self, topic, ticket)")
QSC_TRACKER_SIGNATURE(kRecordTopicJoin, "record_agent_topic_join($self, topic, ticket, joined)")
QSC_TRACKER_SIGNATURE(kTopicJoinAmbiguous, "record_agent_topic_join_ambiguous($self, topic, ticket)")
QSC_TRACKER_SIGNATURE(kLeaveTopic, "leave_agent_topic($self, topic)")
QSC_TRACKER_SIGNATURE(kTopicLeaveComplete, "mark_agent_topic_leave_complete($self, topic, ticket, outcome)")
QSC_TRACKER_SIGNATURE(kTopicRejoinCandidates, "agent_topic_rejoin_candidates($self)")
QSC_TRACKER_SIGNATURE(kTopicRejoinFailed, "mark_agent_topic_rejoin_failed($self, topic, ticket)")
QSC_TRACKER_SIGNATURE(kTopicReconciled, "acknowledge_agent_topic_reconciled($self, topic)")
QSC_TRACKER_SIGNATURE(kOnReconnected, "on_reconnected($self)")
QSC_TRACKER_SIGNATURE(kEndSession, "end_session($self)")
#undef QSC_TRACKER_SIGNATURE

template <RoomJoinAttempt Attempt>
PyObject* record_room_join(TrackerObject& self, const Args& a) {
    string_view room_id;
    Ticket ticket = 0;
    if (!a.get(0, room_id) || !a.get(1, ticket)) return nullptr;
    return variant(self.value.record_room_join_attempt(room_id, ticket, Attempt));
}

PyObject* record_room_participants_join_failed(TrackerObject& self, const Args& a) {
    string_view room_id;
    Ticket ticket = 0;
    bool chat_room_left = false;
    if (!a.get(0, room_id) || !a.get(1, ticket) || !a.get(2, chat_room_left)) return nullptr;
    const RoomJoinAttempt attempt = chat_room_left ? RoomJoinAttempt::ParticipantsFailedChatRoomLeft
                                                   : RoomJoinAttempt::ParticipantsFailedChatRoomNotLeft;
    return variant(self.value.record_room_join_attempt(room_id, ticket, attempt));
}

PyObject* subscribed_room_ids(TrackerObject& self) { return ids_of(self.value.subscribed_rooms()); }
PyObject* room_rejoin_candidates(TrackerObject& self) { return id_pairs_of(self.value.subscribed_rooms()); }
PyObject* joined_agent_topics(TrackerObject& self) { return ids_of(self.value.joined_agent_topics()); }
PyObject* agent_topic_rejoin_candidates(TrackerObject& self) { return id_pairs_of(self.value.joined_agent_topics()); }

// Tracker methods whose body is the core method of the same name.
template <Use U, const Signature& S, auto Method, class... Params>
PyMethodDef tracker_def() {
    return method_def<TrackerObject, U, S, &delegate<TrackerObject, Method, Params...>>();
}
// Those that begin an operation on one room or topic under a new ticket.
template <const Signature& S, auto Method>
PyMethodDef tracker_ticketed_def() {
    return method_def<TrackerObject, Use::Exclusive, S, &delegate_ticketed<TrackerObject, Method, string_view>>();
}
template <Use U, const Signature& S, auto Method>
PyMethodDef tracker_noargs_def() {
    return method_noargs_def<TrackerObject, U, S, &delegate_noargs<TrackerObject, Method>>();
}

using T = SubscriptionTracker;

}  // namespace

PyTypeObject* make_subscription_tracker_class() {
    using S = string_view;
    static PyMethodDef methods[] = {
        tracker_def<kRead, kRoomStatus, &T::room_status, S>(),
        tracker_def<kRead, kIsRoomSubscribed, &T::is_room_subscribed, S>(),
        method_noargs_def<TrackerObject, kRead, kSubscribedRoomIds, &subscribed_room_ids>(),
        tracker_ticketed_def<kBeginRoomSubscribe, &T::begin_room_subscribe>(),
        tracker_def<kRead, kIsRoomClaimCurrent, &T::is_room_claim_current, S, Ticket>(),
        method_def<TrackerObject, kWrite, kBothJoined, &record_room_join<RoomJoinAttempt::BothJoined>>(),
        method_def<TrackerObject, kWrite, kChatRoomJoinFailed, &record_room_join<RoomJoinAttempt::ChatRoomJoinFailed>>(),
        method_def<TrackerObject, kWrite, kParticipantsJoinFailed, &record_room_participants_join_failed>(),
        tracker_ticketed_def<kUnsubscribeRoom, &T::unsubscribe_room>(),
        tracker_def<kWrite, kRoomLeaveComplete, &T::mark_room_leave_complete, S, Ticket, LeaveOutcome>(),
        method_noargs_def<TrackerObject, kRead, kRoomRejoinCandidates, &room_rejoin_candidates>(),
        tracker_def<kWrite, kRoomRejoinFailed, &T::mark_room_rejoin_failed, S, Ticket>(),
        tracker_def<kWrite, kRoomReconciled, &T::acknowledge_room_reconciled, S>(),
        tracker_def<kRead, kTopicStatus, &T::agent_topic_status, S>(),
        tracker_def<kRead, kIsTopicJoined, &T::is_agent_topic_joined, S>(),
        method_noargs_def<TrackerObject, kRead, kJoinedTopics, &joined_agent_topics>(),
        tracker_ticketed_def<kBeginTopicJoin, &T::begin_agent_topic_join>(),
        tracker_def<kRead, kIsTopicClaimCurrent, &T::is_agent_topic_claim_current, S, Ticket>(),
        tracker_def<kWrite, kRecordTopicJoin, &T::record_agent_topic_join, S, Ticket, bool>(),
        tracker_def<kWrite, kTopicJoinAmbiguous, &T::record_agent_topic_join_ambiguous, S, Ticket>(),
        tracker_ticketed_def<kLeaveTopic, &T::leave_agent_topic>(),
        tracker_def<kWrite, kTopicLeaveComplete, &T::mark_agent_topic_leave_complete, S, Ticket, LeaveOutcome>(),
        method_noargs_def<TrackerObject, kRead, kTopicRejoinCandidates, &agent_topic_rejoin_candidates>(),
        tracker_def<kWrite, kTopicRejoinFailed, &T::mark_agent_topic_rejoin_failed, S, Ticket>(),
        tracker_def<kWrite, kTopicReconciled, &T::acknowledge_agent_topic_reconciled, S>(),
        tracker_noargs_def<kWrite, kOnReconnected, &T::on_reconnected>(),
        tracker_noargs_def<kWrite, kEndSession, &T::end_session>(),
        kMethodsEnd,
    };
    return make_class<kTrackerNew, &tracker_new>(class_spec<TrackerObject>("quarn_sdk_core.SubscriptionTracker"),
                                                 methods);
}

}  // namespace qsc::py
