// ClaimRegistry: who may run a message, and the settlements awaiting their durable writes.
#include <charconv>
#include <optional>

#include "core/number.hpp"
#include "core/runtime/claims.hpp"
#include "py/frame/binding.hpp"
#include "py/frame/delegate.hpp"
#include "py/frame/dict_shape.hpp"
#include "py/frame/enums.hpp"
#include "py/frame/interned.hpp"
#include "py/registry.hpp"
#include "py/retry.hpp"

namespace qsc::py {

using RegistryObject = Object<ClaimRegistry, ClassId::ClaimRegistry>;

namespace {

// ---- arguments

struct Key {
    std::string_view room;
    std::string_view message;
};
bool key_args(const Args& a, Key& key) { return a.get(0, key.room) && a.get(1, key.message); }

// The methods that take a room and a message.
template <auto Op>
constexpr auto by_key = &delegate<RegistryObject, Op, std::string_view, std::string_view>;

// The tracker argument, in use for the rest of the call: shared to read it, exclusive to change it.
struct HeldTracker {
    TrackerObject* obj = nullptr;
    std::optional<UseGuard> use;
    RetryTracker& operator*() const noexcept { return obj->value; }
};
bool tracker_arg(const Args& a, int i, Use use, HeldTracker& out) {
    if (!a.get(i, out.obj)) return false;
    out.use.emplace(reinterpret_cast<PyObject*>(out.obj), use);
    return static_cast<bool>(*out.use);
}

// The delivery facts arrive as keywords: every value must be a bool, then every name a fact.
constexpr int kFirstFact = 3;
constexpr bool DeliveryFacts::*kFactFields[] = {&DeliveryFacts::self_echo, &DeliveryFacts::durably_processed,
                                                &DeliveryFacts::durably_failed, &DeliveryFacts::allow_failed_retry};

bool facts_arg(const Args& a, DeliveryFacts& out) {
    bool all_bool = true;
    for (int i = 0; i < 4; ++i) all_bool = all_bool && (!a[kFirstFact + i] || PyBool_Check(a[kFirstFact + i]));
    a.for_each_extra([&](PyObject*, PyObject* value) { return all_bool = all_bool && PyBool_Check(value); });
    if (!all_bool) return raise_type_error("delivery facts must be bool values"), false;
    PyObject* unknown = nullptr;
    a.for_each_extra([&](PyObject* name, PyObject*) { return unknown = name, false; });
    if (unknown) {
        PyErr_Format(PyExc_TypeError,
                     "unknown field `%U`, expected one of `self_echo`, `durably_processed`, `durably_failed`, "
                     "`allow_failed_retry`",
                     unknown);
        return false;
    }
    for (int i = 0; i < 4; ++i)
        if (PyObject* given = a[kFirstFact + i]) out.*kFactFields[i] = given == Py_True;
    return true;
}

// ---- results

// Puts a new reference under a fixed key; false (with the exception set) when either failed.
bool put(PyObject* dict, const Interned& key, PyObject* value) {
    Ref owned = Ref::steal(value);
    return owned && PyDict_SetItem(dict, key.get(), owned.get()) == 0;
}

Interned kStatus{"status"}, kError{"error"}, kParked{"parked"}, kToken{"token"}, kContinuation{"continuation"},
    kKind{"kind"}, kAttempts{"attempts"}, kMaxRetries{"max_retries"};
Interned kProcessed{"processed"}, kFailed{"failed"}, kFinished{"finished"}, kRetry{"retry"};

PyObject* parked_value(const std::optional<ParkedReason>& parked) {
    if (!parked) Py_RETURN_NONE;
    return variant_wire_name(*parked);
}

// Result dicts by intent, their fixed values set in the template.
DictShape kProcessedSettlement{{&kToken, &kStatus, &kParked, &kContinuation}, {{&kStatus, &kProcessed}}};
DictShape kFailedSettlement{{&kToken, &kStatus, &kError, &kParked, &kContinuation}, {{&kStatus, &kFailed}}};
DictShape kProcessedEntry{{&kStatus, &kParked}, {{&kStatus, &kProcessed}}};
DictShape kFailedEntry{{&kStatus, &kError, &kParked}, {{&kStatus, &kFailed}}};
DictShape kFinishedNext{{&kKind}, {{&kKind, &kFinished}}};
DictShape kRetryNext{{&kKind, &kAttempts, &kMaxRetries}, {{&kKind, &kRetry}}};

// The error of a failed intent and the parked reason; the status comes with the shape.
bool put_intent(PyObject* dict, const std::optional<std::string_view>& error,
                const std::optional<ParkedReason>& parked) {
    if (error && !put(dict, kError, str(*error))) return false;
    return !parked || put(dict, kParked, parked_value(parked));
}

PyObject* continuation_dict(const SettlementContinuation& next) {
    if (!next.retry) return kFinishedNext.make();
    Ref dict = Ref::steal(kRetryNext.make());
    if (!dict || !put(dict.get(), kAttempts, to_python(next.attempts)) ||
        !put(dict.get(), kMaxRetries, to_python(next.max_retries)))
        return nullptr;
    return dict.release();
}

// The token's decimal digits.
PyObject* token_str(std::uint64_t token) {
    char digits[20];
    const auto printed = std::to_chars(digits, digits + sizeof digits, token);
    return ascii_str(std::string_view(digits, static_cast<std::size_t>(printed.ptr - digits)));
}

PyObject* settlement_dict(const Settlement& view) {
    Ref dict = Ref::steal((view.error ? kFailedSettlement : kProcessedSettlement).make());
    if (!dict || !put(dict.get(), kToken, token_str(view.token)) ||
        !put_intent(dict.get(), view.error, view.parked) ||
        !put(dict.get(), kContinuation, continuation_dict(view.continuation)))
        return nullptr;
    return dict.release();
}

PyObject* pending_dict(const PendingEntry& entry) {
    std::optional<std::string_view> error;
    if (entry.error) error = *entry.error;
    Ref dict = Ref::steal((error ? kFailedEntry : kProcessedEntry).make());
    if (!dict || !put_intent(dict.get(), error, entry.parked)) return nullptr;
    return dict.release();
}

PyObject* verdict(DeliveryEligibility v) { return new_ref(wire_names<DeliveryEligibility>[v]); }

const Signature kRegistryNew{
    Callable::Constructor, "ClaimRegistry", "ClaimRegistry(max_completed=...)",
    "Ownership ledger for the inbound message-delivery lifecycle: in-flight,\nack-pending (a stored processed/failed "
    "intent, optionally parked), and\ncompleted states, each scoped by `(room_id, message_id)`."};
PyObject* registry_new(const Args& a) {
    Capacity<1> max_completed{500};
    if (!a.get_all(max_completed)) return nullptr;
    return make_object<RegistryObject>(ClaimRegistry(max_completed.value));
}


const Signature kTryClaim{Callable::Method, "ClaimRegistry", "try_claim($self, room_id, message_id)", ""};
const Signature kRelease{Callable::Method, "ClaimRegistry", "release($self, room_id, message_id)", ""};
const Signature kRememberAckPending{Callable::Method, "ClaimRegistry",
                                    "remember_ack_pending($self, room_id, message_id)", ""};
const Signature kIsAckPending{Callable::Method, "ClaimRegistry", "is_ack_pending($self, room_id, message_id)", ""};
const Signature kRememberCompleted{Callable::Method, "ClaimRegistry", "remember_completed($self, room_id, message_id)",
                                   ""};
const Signature kIsCompleted{Callable::Method, "ClaimRegistry", "is_completed($self, room_id, message_id)", ""};

// Both eligibility methods share one parameter list; only the claim differs.
#define QSC_ELIGIBILITY_SIGNATURE(name)                                                                      \
    #name "($self, room_id, message_id, retry_tracker, *, self_echo=False, durably_processed=False, "       \
          "durably_failed=False, allow_failed_retry=True)"
const Signature kGuardedClaim{Callable::Method, "ClaimRegistry", QSC_ELIGIBILITY_SIGNATURE(guarded_claim), "",
                              ExtraKeywords::Collect};
const Signature kDeliveryEligibility{Callable::Method, "ClaimRegistry",
                                     QSC_ELIGIBILITY_SIGNATURE(delivery_eligibility), "", ExtraKeywords::Collect};
#undef QSC_ELIGIBILITY_SIGNATURE

template <DeliveryEligibility (ClaimRegistry::*Op)(const HashedText&, const HashedText&, const RetryTracker&,
                                                   DeliveryFacts)>
PyObject* eligibility(RegistryObject& self, const Args& a) {
    Key key;
    HeldTracker tracker;
    DeliveryFacts facts;
    if (!key_args(a, key) || !tracker_arg(a, 2, Use::Shared, tracker) || !facts_arg(a, facts)) return nullptr;
    return verdict((self.value.*Op)(key.room, key.message, *tracker, facts));
}

const Signature kInflightIds{Callable::Method, "ClaimRegistry", "inflight_ids($self, room_id)", ""};
const Signature kPendingAckIds{Callable::Method, "ClaimRegistry", "pending_ack_ids($self, room_id)", ""};
const Signature kCompletedIds{Callable::Method, "ClaimRegistry", "completed_ids($self, room_id)", ""};

const Signature kRememberFailedAckPending{
    Callable::Method, "ClaimRegistry", "remember_failed_ack_pending($self, room_id, message_id, error, trace_context=None)",
    "Record a failed turn awaiting a durable failed write carrying `error`.\nRaises `ValueError` if a different intent "
    "is already pending."};
PyObject* remember_failed_ack_pending(RegistryObject& self, const Args& a) {
    Key key;
    std::string_view error;
    std::optional<std::string_view> trace;
    if (!key_args(a, key) || !a.get(2, error) || !a.get(3, trace)) return nullptr;
    if (auto conflict = self.value.remember_failed_ack_pending(key.room, key.message, error, trace))
        return raise_core_error(*conflict);
    return none();
}

// The answer is built before the entry is stored: without memory for it nothing changes.
// The ids come hashed once for both steps.
PyObject* record_settlement(RegistryObject& self, const HashedText& room, const HashedText& message,
                            std::optional<std::string_view> error, SettlementContinuation next, TraceContext trace) {
    auto plan = self.value.plan_settlement(room, message, error, next, trace);
    if (!plan) return raise_core_error(plan.error());
    Ref answer = Ref::steal(settlement_dict(plan->settlement));
    if (answer && plan->fresh) self.value.store_settlement(room, message, error, next);
    return answer.release();
}

const Signature kRecordProcessed{Callable::Method, "ClaimRegistry",
                                 "record_processed_settlement($self, room_id, message_id, trace_context=None)", ""};
PyObject* record_processed_settlement(RegistryObject& self, const Args& a) {
    Key key;
    std::optional<std::string_view> trace;
    if (!key_args(a, key) || !a.get(2, trace)) return nullptr;
    return record_settlement(self, key.room, key.message, std::nullopt, {}, trace);
}

const Signature kRecordFailed{
    Callable::Method, "ClaimRegistry",
    "record_failed_settlement($self, room_id, message_id, error, retry_tracker, allow_retry, trace_context=None)", ""};
PyObject* record_failed_settlement(RegistryObject& self, const Args& a) {
    Key key;
    std::string_view error;
    HeldTracker tracker;
    bool allow_retry = false;
    std::optional<std::string_view> trace;
    if (!key_args(a, key) || !a.get(2, error) || !tracker_arg(a, 3, Use::Shared, tracker) || !a.get(4, allow_retry) ||
        !a.get(5, trace))
        return nullptr;
    const HashedText room(key.room), message(key.message);
    return record_settlement(self, room, message, error,
                             ClaimRegistry::failed_continuation(message, *tracker, allow_retry), trace);
}

const Signature kPendingSettlement{Callable::Method, "ClaimRegistry",
                                   "pending_settlement($self, room_id, message_id, trace_context=None)", ""};
PyObject* pending_settlement(RegistryObject& self, const Args& a) {
    Key key;
    std::optional<std::string_view> trace;
    if (!key_args(a, key) || !a.get(2, trace)) return nullptr;
    auto view = self.value.pending_settlement(key.room, key.message, trace);
    if (!view) return raise_core_error(view.error());
    return *view ? settlement_dict(**view) : none();
}

const Signature kConfirmSettlement{Callable::Method, "ClaimRegistry",
                                   "confirm_settlement($self, room_id, message_id, token, retry_tracker)", ""};
PyObject* confirm_settlement(RegistryObject& self, const Args& a) {
    Key key;
    std::string_view token;
    HeldTracker tracker;
    if (!key_args(a, key) || !a.get(2, token) || !tracker_arg(a, 3, Use::Exclusive, tracker)) return nullptr;
    return boolean(self.value.confirm_settlement(key.room, key.message, token, *tracker));
}

const Signature kParkSettlement{Callable::Method, "ClaimRegistry",
                                "park_settlement($self, room_id, message_id, token, reason)", ""};

const Signature kParkAck{Callable::Method, "ClaimRegistry", "park_ack($self, room_id, message_id, reason)",
                         "Mark a pending entry parked for `reason`; `False` when nothing is\npending for the message."};

const Signature kUnparkAcks{Callable::Method, "ClaimRegistry", "unpark_acks($self, room_id)", ""};
const Signature kHasRetryable{Callable::Method, "ClaimRegistry", "has_retryable_settlement($self, room_id)", ""};

const Signature kPendingAck{Callable::Method, "ClaimRegistry", "pending_ack($self, room_id, message_id)",
                            "The pending entry as `{\"status\": \"processed\" | \"failed\", \"error\"?:\nstr, "
                            "\"parked\": \"not_found\" | \"rejected\" | None}`, or `None`."};
PyObject* pending_ack(RegistryObject& self, const Args& a) {
    Key key;
    if (!key_args(a, key)) return nullptr;
    const PendingEntry* entry = self.value.pending_ack(key.room, key.message);
    return entry ? pending_dict(*entry) : none();
}

const Signature kRecordAckRetry{Callable::Method, "ClaimRegistry", "record_ack_retry($self, room_id, message_id)", ""};
const Signature kDiscardCompleted{Callable::Method, "ClaimRegistry", "discard_completed($self, room_id)", ""};

}  // namespace

PyTypeObject* make_claim_registry_class() {
    using R = RegistryObject;
    using Str = std::string_view;
    constexpr Use X = Use::Exclusive, S = Use::Shared;
    static PyMethodDef methods[] = {
        method_def<R, X, kTryClaim, by_key<&ClaimRegistry::try_claim>>(),
        method_def<R, X, kRelease, by_key<&ClaimRegistry::release>>(),
        method_def<R, X, kGuardedClaim, &eligibility<&ClaimRegistry::guarded_claim>>(),
        method_def<R, X, kDeliveryEligibility, &eligibility<&ClaimRegistry::delivery_eligibility>>(),
        method_def<R, S, kInflightIds, by_id<R, &ClaimRegistry::inflight_ids>>(),
        method_def<R, X, kRememberAckPending, by_key<&ClaimRegistry::remember_ack_pending>>(),
        method_def<R, X, kRememberFailedAckPending, &remember_failed_ack_pending>(),
        method_def<R, X, kRecordProcessed, &record_processed_settlement>(),
        method_def<R, X, kRecordFailed, &record_failed_settlement>(),
        method_def<R, S, kPendingSettlement, &pending_settlement>(),
        method_def<R, X, kConfirmSettlement, &confirm_settlement>(),
        method_def<R, X, kParkSettlement, &delegate<R, &ClaimRegistry::park_settlement, Str, Str, Str, ParkedReason>>(),
        method_def<R, X, kParkAck, &delegate<R, &ClaimRegistry::park_ack, Str, Str, ParkedReason>>(),
        method_def<R, X, kUnparkAcks, by_id<R, &ClaimRegistry::unpark_acks>>(),
        method_def<R, S, kHasRetryable, by_id<R, &ClaimRegistry::has_retryable_settlement>>(),
        method_def<R, S, kIsAckPending, by_key<&ClaimRegistry::is_ack_pending>>(),
        method_def<R, S, kPendingAck, &pending_ack>(),
        method_def<R, S, kPendingAckIds, by_id<R, &ClaimRegistry::pending_entries>>(),
        method_def<R, X, kRecordAckRetry, by_key<&ClaimRegistry::record_ack_retry>>(),
        method_def<R, X, kRememberCompleted, by_key<&ClaimRegistry::remember_completed>>(),
        method_def<R, X, kIsCompleted, by_key<&ClaimRegistry::is_completed>>(),
        method_def<R, S, kCompletedIds, by_id<R, &ClaimRegistry::completed_ids>>(),
        method_def<R, X, kDiscardCompleted, by_id<R, &ClaimRegistry::discard_completed>>(),
        kMethodsEnd,
    };
    static PyGetSetDef getset[] = {getter_def<R, &delegate_noargs<R, &ClaimRegistry::max_completed>>("max_completed"),
                                   kGetSetEnd};
    return make_class<kRegistryNew, &registry_new>(class_spec<R>("quarn_sdk_core.ClaimRegistry"), methods, getset);
}

}  // namespace qsc::py
