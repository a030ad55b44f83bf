// DecisionRegistry, CancelledDecisions and the authorised-sender rule.
#include <cstdint>
#include <cstring>

#include "core/runtime/decisions.hpp"
#include "py/frame/binding.hpp"
#include "py/frame/build.hpp"
#include "py/frame/delegate.hpp"
#include "py/frame/enums.hpp"
#include "py/frame/ranged.hpp"
#include "py/registry.hpp"

namespace qsc::py {

using RegistryObject = Object<DecisionRegistry, ClassId::DecisionRegistry>;
using CancelledObject = Object<CancelledDecisions, ClassId::CancelledDecisions>;

namespace {

// ---- constructor

// Eight bytes from the operating system's random source, through the interpreter, little-endian.
bool seed_from_os(std::uint64_t& out) {
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    if (!os) return false;
    Ref bytes = Ref::steal(PyObject_CallMethod(os.get(), "urandom", "i", 8));
    if (!bytes) return false;
    if (!PyBytes_Check(bytes.get()) || PyBytes_GET_SIZE(bytes.get()) != 8) {
        raise_type_error("os.urandom(8) did not return 8 bytes");
        return false;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get()));
    out = 0;
    for (int i = 7; i >= 0; --i) out = (out << 8) | data[i];
    return true;
}

const Signature kRegistryNew{
    Callable::Constructor, "DecisionRegistry", "DecisionRegistry(*, max_pending=None, seed=None)",
    "Pending chat-mediated asks by token, oldest first. Every registration\nreturns `(token, ticket)`; later calls "
    "name that exact registration, so a\nstale holder never acts on a newer ask that reused the token."};
PyObject* registry_new(const Args& a) {
    std::optional<Ranged<std::uint32_t, 1, UINT32_MAX>> max_pending;
    std::optional<Ranged<std::uint64_t, 0, UINT64_MAX>> seed;
    std::uint64_t drawn = 0;
    if (!a.get_all(max_pending, seed) || (!seed && !seed_from_os(drawn))) return nullptr;
    return make_object<RegistryObject>(DecisionRegistry(value_of(max_pending), seed ? seed->value : drawn));
}

PyObject* max_pending(RegistryObject& self) {
    const auto bound = self.value.max_pending();
    if (!bound) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(*bound);
}

// ---- registrations and claims

// The (token, ticket) answer is made before the registry changes (a minted token's digits are
// written in afterwards): without memory for the answer no ask is registered.
template <class Step>
PyObject* registration(RegistryObject& self, PyObject* token, bool minted, Step&& step) {
    Ref owned = Ref::steal(token);
    Ref ticket = Ref::steal(unsigned_int(self.value.next_ticket()));
    Ref answer = owned && ticket ? Ref::steal(PyTuple_New(2)) : Ref();
    if (!answer) return nullptr;
    const std::optional<Registration> r = step();
    if (!r) Py_RETURN_NONE;
    if (minted) {
        QSC_ASSERT(PyUnicode_GET_LENGTH(owned.get()) == static_cast<Py_ssize_t>(r->token.size()), "token length");
        std::memcpy(PyUnicode_DATA(owned.get()), r->token.data(), r->token.size());
    }
    PyTuple_SET_ITEM(answer.get(), 0, owned.release());
    PyTuple_SET_ITEM(answer.get(), 1, ticket.release());
    return answer.release();
}

// A fresh ASCII str to write a minted token's 8 hex digits into.
PyObject* token_buffer() { return PyUnicode_New(8, 127); }

const Signature kRegisterMinted{Callable::Method, "DecisionRegistry", "register_minted($self, room_id=None)", ""};
PyObject* register_minted(RegistryObject& self, const Args& a) {
    std::optional<std::string_view> room_id;
    if (!a.get(0, room_id)) return nullptr;
    return registration(self, token_buffer(), true, [&] { return self.value.register_minted(room_id); });
}

const Signature kRegisterKeyed{Callable::Method, "DecisionRegistry", "register_keyed($self, key)", ""};
PyObject* register_keyed(RegistryObject& self, const Args& a) {
    std::string_view key;
    if (!a.get(0, key)) return nullptr;
    return registration(self, str(key), false, [&] { return self.value.register_keyed(key); });
}

// Claims name the exact registration: (token, ticket).
template <auto Method>
PyObject* by_registration(RegistryObject& self, const Args& a) {
    return delegate<RegistryObject, Method, std::string_view, std::uint64_t>(self, a);
}

const Signature kTryClaim{Callable::Method, "DecisionRegistry", "try_claim($self, token, ticket)", ""};
const Signature kWithdraw{Callable::Method, "DecisionRegistry", "withdraw($self, token, ticket)", ""};
const Signature kForget{Callable::Method, "DecisionRegistry", "forget($self, token, ticket)", ""};

// ---- listings

const Signature kUnclaimed{Callable::Method, "DecisionRegistry", "unclaimed($self)", ""};
PyObject* unclaimed(RegistryObject& self) {
    ListBuilder list(self.value.unclaimed_count());
    self.value.for_each_unclaimed([&](std::string_view token) { list.ok() && list.add(str(token)); });
    return list.release();
}

const Signature kUnclaimedInRoom{Callable::Method, "DecisionRegistry", "unclaimed_in_room($self, room_id)", ""};
PyObject* unclaimed_in_room(RegistryObject& self, const Args& a) {
    std::string_view room_id;
    if (!a.get(0, room_id)) return nullptr;
    ListBuilder list(0);
    self.value.for_each_unclaimed_in_room(room_id, [&](std::string_view token) { list.ok() && list.add(str(token)); });
    return list.release();
}

const Signature kUnclaimedCount{Callable::Method, "DecisionRegistry", "unclaimed_count($self)", ""};
PyObject* unclaimed_count(RegistryObject& self) { return PyLong_FromSize_t(self.value.unclaimed_count()); }

const Signature kOldestUnclaimed{Callable::Method, "DecisionRegistry", "oldest_unclaimed($self)", ""};
PyObject* oldest_unclaimed(RegistryObject& self) { return str_or_none(self.value.oldest_unclaimed()); }

// ---- removals

const Signature kEvictOldest{Callable::Method, "DecisionRegistry", "evict_oldest($self)", ""};
// The answer is made before the ask goes: without memory for it nothing changes.
PyObject* evict_oldest(RegistryObject& self) {
    Ref answer = Ref::steal(str_or_none(self.value.eviction_candidate()));
    if (answer && answer.get() != Py_None) self.value.evict_oldest();
    return answer.release();
}

const Signature kCancelAll{Callable::Method, "DecisionRegistry", "cancel_all($self)", ""};
PyObject* cancel_all(RegistryObject& self) {
    return make_object_after<CancelledObject>([&] { return self.value.cancel_all(); });
}

const Signature kCancelRoom{Callable::Method, "DecisionRegistry", "cancel_room($self, room_id)", ""};
PyObject* cancel_room(RegistryObject& self, const Args& a) {
    std::string_view room_id;
    if (!a.get(0, room_id)) return nullptr;
    return make_object_after<CancelledObject>([&] { return self.value.cancel_room(room_id); });
}

PyObject* token_str(const std::string& token) { return str(token); }
PyObject* cancelled_unclaimed(CancelledObject& self) { return list_of(self.value.unclaimed, token_str); }
PyObject* cancelled_claimed(CancelledObject& self) { return list_of(self.value.claimed, token_str); }

// ---- is_authorized_sender

QSC_COLD bool wrong_type(const Args& a, int i, PyObject* given, const char* expected) {
    raise_not_instance(given, expected);
    note_processing(a.signature().param(i));
    return false;
}

// Every member must be a str; `found` tells whether `sender` (null for none) is one of them by
// exact text: a member's own __eq__ is never consulted.
bool scan_senders(const Args& a, PyObject* sender, bool& found) {
    Ref it = Ref::steal(PyObject_GetIter(a[0]));  // a set subclass may run Python code here
    if (!it) return false;
    while (Ref member = Ref::steal(PyIter_Next(it.get()))) {
        if (!PyUnicode_Check(member.get())) return wrong_type(a, 0, member.get(), "str");
        if (sender && !found) found = PyUnicode_Compare(member.get(), sender) == 0;
    }
    return !PyErr_Occurred();
}

const Signature kIsAuthorizedSender{
    Callable::Function, "", "is_authorized_sender(authorized_senders, sender_id)",
    "Whether `sender_id` may answer an ask: `None` admits anyone; any set --\nempty included -- admits only its "
    "members. Raises `TypeError` unless\n`authorized_senders` is a `set`, `frozenset`, or `None`."};
PyObject* is_authorized_sender(const Args& a) {
    PyObject* senders = a[0];
    PyObject* sender = PyUnicode_Check(a[1]) ? a[1] : nullptr;
    const bool anyone = senders == Py_None;
    bool found = false;
    if (!anyone && !PyAnySet_Check(senders)) return wrong_type(a, 0, senders, "set"), nullptr;
    if (!anyone && !scan_senders(a, sender, found)) return nullptr;
    if (!sender && a[1] != Py_None) return wrong_type(a, 1, a[1], "str"), nullptr;
    return boolean(anyone || found);
}

}  // namespace

PyTypeObject* make_decision_registry_class() {
    static PyMethodDef methods[] = {
        method_def<RegistryObject, Use::Exclusive, kRegisterMinted, &register_minted>(),
        method_def<RegistryObject, Use::Exclusive, kRegisterKeyed, &register_keyed>(),
        method_def<RegistryObject, Use::Exclusive, kTryClaim, &by_registration<&DecisionRegistry::try_claim>>(),
        method_def<RegistryObject, Use::Exclusive, kWithdraw, &by_registration<&DecisionRegistry::withdraw>>(),
        method_def<RegistryObject, Use::Exclusive, kForget, &by_registration<&DecisionRegistry::forget>>(),
        method_noargs_def<RegistryObject, Use::Shared, kUnclaimed, &unclaimed>(),
        method_def<RegistryObject, Use::Shared, kUnclaimedInRoom, &unclaimed_in_room>(),
        method_noargs_def<RegistryObject, Use::Shared, kUnclaimedCount, &unclaimed_count>(),
        method_noargs_def<RegistryObject, Use::Shared, kOldestUnclaimed, &oldest_unclaimed>(),
        method_noargs_def<RegistryObject, Use::Exclusive, kEvictOldest, &evict_oldest>(),
        method_noargs_def<RegistryObject, Use::Exclusive, kCancelAll, &cancel_all>(),
        method_def<RegistryObject, Use::Exclusive, kCancelRoom, &cancel_room>(),
        kMethodsEnd,
    };
    static PyGetSetDef getset[] = {getter_def<RegistryObject, &max_pending>("max_pending"), kGetSetEnd};
    return make_class<kRegistryNew, &registry_new>(class_spec<RegistryObject>("quarn_sdk_core.DecisionRegistry"), methods, getset);
}

PyTypeObject* make_cancelled_decisions_class() {
    static PyGetSetDef getset[] = {getter_def<CancelledObject, &cancelled_unclaimed>("unclaimed"),
                                   getter_def<CancelledObject, &cancelled_claimed>("claimed"), kGetSetEnd};
    return make_result_class<CancelledObject>(
        "quarn_sdk_core.CancelledDecisions",
        "What a cancellation removed, oldest first: `unclaimed` asks the caller\nresolves, and `claimed` ones whose "
        "claimant still does.",
        getset);
}

PyMethodDef is_authorized_sender_def() { return function_def<kIsAuthorizedSender, &is_authorized_sender>(); }

}  // namespace qsc::py
