// Channel topics, SubscriptionTracker, RoomRoster and RoomReconciliation.
#include <string>
#include <vector>

#include "core/runtime/room_roster.hpp"
#include "core/runtime/subscription.hpp"
#include "core/runtime/topics.hpp"
#include "py/frame/binding.hpp"
#include "py/frame/enums.hpp"
#include "py/frame/delegate.hpp"
#include "py/frame/sequence.hpp"
#include "py/frame/variant_method.hpp"
#include "py/registry.hpp"

namespace qsc::py {

using TrackerObject = Object<SubscriptionTracker, ClassId::SubscriptionTracker>;
using RosterObject = Object<RoomRoster, ClassId::RoomRoster>;
using ReconciliationObject = Object<RoomReconciliation, ClassId::RoomReconciliation>;

namespace {

using std::string_view;
using Ticket = std::uint64_t;

PyObject* ticket_pair(string_view key, Ticket ticket) {
    Ref text = Ref::steal(str(key));
    if (!text) return nullptr;
    Ref number = Ref::steal(PyLong_FromUnsignedLongLong(ticket));
    if (!number) return nullptr;
    return PyTuple_Pack(2, text.get(), number.get());
}

// Keys of an ordered map, oldest first.
template <class Map>
PyObject* keys_of(const Map& map) {
    return list_of(map, [](const auto& entry) { return str(entry.first); });
}

// (key, ticket) pairs of an ordered map, oldest first.
PyObject* pairs_of(const OrderedMap<Ticket>& map) {
    return list_of(map, [](const auto& entry) { return ticket_pair(entry.first, entry.second); });
}

PyObject* strs_of(const std::vector<std::string>& texts) {
    return list_of(texts, [](const std::string& text) { return str(text); });
}

// ---- topic names

template <std::string (*Topic)(string_view)>
PyObject* room_topic(const Args& a) {
    string_view room_id;
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
    string_view agent_id;
    if (!a.get(0, agent_id)) return nullptr;
    return str(agent_topic(kind, agent_id));
}

// ---- SubscriptionTracker

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

PyObject* subscribed_room_ids(TrackerObject& self) { return keys_of(self.value.subscribed_rooms()); }
PyObject* room_rejoin_candidates(TrackerObject& self) { return pairs_of(self.value.subscribed_rooms()); }
PyObject* joined_agent_topics(TrackerObject& self) { return keys_of(self.value.joined_agent_topics()); }
PyObject* agent_topic_rejoin_candidates(TrackerObject& self) { return pairs_of(self.value.joined_agent_topics()); }

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
constexpr Use kRead = Use::Shared;
constexpr Use kWrite = Use::Exclusive;

// ---- RoomRoster and RoomReconciliation

const Signature kRosterNew{
    Callable::Constructor, "RoomRoster", "RoomRoster()",
    "Room admission and membership decisions for one agent session, separate\nfrom `SubscriptionTracker`'s "
    "two-topic transport join."};
PyObject* roster_new(const Args&) { return make_object<RosterObject>(RoomRoster()); }

#define QSC_ROSTER_SIGNATURE(k, text) const Signature k{Callable::Method, "RoomRoster", text, ""};
QSC_ROSTER_SIGNATURE(kRoomMembership, "room_membership($self, room_id)")
QSC_ROSTER_SIGNATURE(kBeginAdmission, "begin_room_admission($self, room_id, passes_filter)")
QSC_ROSTER_SIGNATURE(kRecordAdmission, "record_room_admission($self, room_id, ticket, succeeded)")
QSC_ROSTER_SIGNATURE(kIsAdmissionCurrent, "is_room_admission_current($self, room_id, ticket)")
QSC_ROSTER_SIGNATURE(kRecordRemoved, "record_room_removed($self, room_id)")
QSC_ROSTER_SIGNATURE(kTrackedRoomIds, "tracked_room_ids($self)")
QSC_ROSTER_SIGNATURE(kReconcile, "reconcile($self, current_room_ids)")
QSC_ROSTER_SIGNATURE(kClear, "clear($self)")
#undef QSC_ROSTER_SIGNATURE

PyObject* tracked_room_ids(RosterObject& self) { return keys_of(self.value.admitted()); }

PyObject* reconcile(RosterObject& self, const Args& a) {
    StrSequence current_room_ids;
    if (!a.get(0, current_room_ids)) return nullptr;
    return make_object_after<ReconciliationObject>([&] { return self.value.reconcile(current_room_ids); });
}

// The answer is built before anything is forgotten: without memory for it the roster stays whole.
PyObject* clear(RosterObject& self) {
    Ref rooms = Ref::steal(strs_of(self.value.room_ids()));
    if (rooms) self.value.clear();
    return rooms.release();
}

template <Use U, const Signature& S, auto Method, class... Params>
PyMethodDef roster_def() {
    return method_def<RosterObject, U, S, &delegate<RosterObject, Method, Params...>>();
}

using R = RoomRoster;

PyObject* removed(ReconciliationObject& self) { return strs_of(self.value.removed); }
PyObject* resync(ReconciliationObject& self) { return strs_of(self.value.resync); }
PyObject* admitting(ReconciliationObject& self) {
    return list_of(self.value.admitting, [](const auto& entry) { return ticket_pair(entry.first, entry.second); });
}

}  // namespace

PyTypeObject* make_agent_topic_kind_class() {
    static PyMethodDef methods[] = {variant_method_def<AgentTopicKind, kTopic, &topic>(), kMethodsEnd};
    return make_enum_class(EnumId::AgentTopicKind, methods);
}

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
    return make_class<kTrackerNew, &tracker_new>(class_spec<TrackerObject>("quarn_sdk_core.SubscriptionTracker"), methods);
}

PyTypeObject* make_room_roster_class() {
    using S = string_view;
    static PyMethodDef methods[] = {
        roster_def<kRead, kRoomMembership, &R::room_membership, S>(),
        method_def<RosterObject, kWrite, kBeginAdmission,
                   &delegate_ticketed<RosterObject, &R::begin_room_admission, S, bool>>(),
        roster_def<kWrite, kRecordAdmission, &R::record_room_admission, S, Ticket, bool>(),
        roster_def<kRead, kIsAdmissionCurrent, &R::is_room_admission_current, S, Ticket>(),
        roster_def<kWrite, kRecordRemoved, &R::record_room_removed, S>(),
        method_noargs_def<RosterObject, kRead, kTrackedRoomIds, &tracked_room_ids>(),
        method_def<RosterObject, kWrite, kReconcile, &reconcile>(),
        method_noargs_def<RosterObject, kWrite, kClear, &clear>(),
        kMethodsEnd,
    };
    return make_class<kRosterNew, &roster_new>(class_spec<RosterObject>("quarn_sdk_core.RoomRoster"), methods);
}

PyTypeObject* make_room_reconciliation_class() {
    static PyGetSetDef getset[] = {getter_def<ReconciliationObject, &removed>("removed"),
                                   getter_def<ReconciliationObject, &admitting>("admitting"),
                                   getter_def<ReconciliationObject, &resync>("resync"), kGetSetEnd};
    return make_result_class<ReconciliationObject>(
        "quarn_sdk_core.RoomReconciliation",
        "One reconnect's reconciliation against an authoritative room snapshot.\n`removed` and `admitting` are "
        "already applied by the time this is\nreturned.",
        getset);
}

PyMethodDef chat_room_topic_def() { return function_def<kChatRoomTopic, &room_topic<&chat_room_topic>>(); }
PyMethodDef room_participants_topic_def() {
    return function_def<kRoomParticipantsTopic, &room_topic<&room_participants_topic>>();
}

}  // namespace qsc::py
