// RoomRoster and RoomReconciliation: which rooms the agent serves.
#include <cstdint>
#include <string_view>

#include "core/runtime/room_roster.hpp"
#include "py/frame/binding.hpp"
#include "py/frame/delegate.hpp"
#include "py/frame/enums.hpp"
#include "py/frame/sequence.hpp"
#include "py/registry.hpp"

namespace qsc::py {

using RosterObject = Object<RoomRoster, ClassId::RoomRoster>;
using ReconciliationObject = Object<RoomReconciliation, ClassId::RoomReconciliation>;

namespace {

using std::string_view;
using Ticket = std::uint64_t;
constexpr Use kRead = Use::Shared;
constexpr Use kWrite = Use::Exclusive;

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

PyObject* tracked_room_ids(RosterObject& self) { return ids_of(self.value.admitted()); }

PyObject* reconcile(RosterObject& self, const Args& a) {
    StrSequence current_room_ids;
    if (!a.get(0, current_room_ids)) return nullptr;
    return make_object_after<ReconciliationObject>([&] { return self.value.reconcile(current_room_ids); });
}

// The answer is built before anything is forgotten: without memory for it the roster stays whole.
PyObject* clear(RosterObject& self) {
    Ref rooms = Ref::steal(ids_of(self.value.room_ids()));
    if (rooms) self.value.clear();
    return rooms.release();
}

template <Use U, const Signature& S, auto Method, class... Params>
PyMethodDef roster_def() {
    return method_def<RosterObject, U, S, &delegate<RosterObject, Method, Params...>>();
}

using R = RoomRoster;

PyObject* removed(ReconciliationObject& self) { return ids_of(self.value.removed); }
PyObject* resync(ReconciliationObject& self) { return ids_of(self.value.resync); }
PyObject* admitting(ReconciliationObject& self) { return id_pairs_of(self.value.admitting); }

}  // namespace

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

}  // namespace qsc::py
