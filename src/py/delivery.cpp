// The delivery loop's routing decisions, each answered as a fresh dict whose first key is
// "decision".
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <optional>

#include "core/runtime/delivery.hpp"
#include "py/frame/binding.hpp"
#include "py/frame/compat.hpp"
#include "py/frame/interned.hpp"
#include "py/frame/json.hpp"
#include "py/plain_events.hpp"
#include "py/registry.hpp"

namespace qsc::py {

namespace {

Interned kDecision{"decision"};
Interned kEventType{"event_type"};
Interned kRoomId{"room_id"};
Interned kMessageId{"message_id"};
Interned kSenderId{"sender_id"};
Interned kSenderType{"sender_type"};
Interned kId{"id"};
Interned kChatRoomId{"chat_room_id"};
Interned kNextOpenId{"next_open_id"};

struct Field {
    const Interned& key;
    TextRef value;
};

// {"decision": the verdict's name, key: value, ...} in the order given.
template <class Verdict>
PyObject* decision(Verdict verdict, std::initializer_list<Field> fields = {}) {
    Ref dict = Ref::steal(new_dict(static_cast<Py_ssize_t>(fields.size() + 1)));
    if (!dict || PyDict_SetItem(dict.get(), kDecision.get(), wire_names<Verdict>[verdict]) < 0) return nullptr;
    for (const Field& field : fields) {
        Ref value = Ref::steal(str(field.value));
        if (!value || PyDict_SetItem(dict.get(), field.key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* event_decision(const EventDecision& d) {
    using Kind = EventDecision::Kind;
    switch (d.kind) {
        case Kind::Ignored: return decision(Kind::Ignored, {{kEventType, d.event_type}});
        case Kind::Cleanup: return decision(Kind::Cleanup, {{kRoomId, d.room_id}});
        case Kind::SkipSelf: return decision(Kind::SkipSelf, {{kRoomId, d.room_id}, {kMessageId, d.message_id}});
        case Kind::Invocation:
            return decision(Kind::Invocation, {{kRoomId, d.room_id},
                                          {kMessageId, d.message_id},
                                          {kSenderId, d.sender_id},
                                          {kSenderType, d.sender_type}});
    }
    return raise_panic("unknown event decision");
}

PyObject* event_decision(const Result<EventDecision>& d) {
    if (!d) return raise_core_error(d.error());
    return event_decision(*d);
}

// A plain dict's member `key` as a JSON value, null when absent; its str is held for the call.
bool plain_member(PyObject* dict, const Interned& key, StrHolds& holds, Json& out) {
    PyObject* value = PyDict_GetItemWithError(dict, key.get());
    if (!value) return !PyErr_Occurred();
    holds.add(value);
    return json_from_py(value, out);
}

// A plain "message_created" payload of the plain message shape, routed from the caller's objects
// as they are: converting it would give the same facts. `fields` holds its fields' values, found
// by the check, with no Python code run since.
PyObject* route_plain_message(PyObject* payload, PyObject* const* fields, std::optional<TextRef> room_id,
                              std::string_view agent_id, std::optional<std::string_view> trace) {
    static const std::size_t kFacts[] = {plain_message_field("id"), plain_message_field("sender_id"),
                                         plain_message_field("sender_type")};
    // The strs a decision hands back, held: building it may run a finaliser that changes the payload.
    StrHolds holds;
    MessageFacts facts;
    TextRef* const outs[] = {&facts.id, &facts.sender_id, &facts.sender_type};
    for (std::size_t i = 0; i < std::size(kFacts); ++i) {
        PyObject* value = fields[kFacts[i]];
        std::string_view text;
        if (!value || !utf8_view(value, text)) return raise_panic("a checked message lacks a field");
        holds.add(value);
        *outs[i] = TextRef{text, value};
    }
    Json room_member;
    if (!plain_member(payload, kChatRoomId, holds, room_member)) return nullptr;
    facts.chat_room_id = room_member.is_null() ? nullptr : &room_member;
    return event_decision(route_valid_message(room_id, facts, agent_id, trace));
}

// A plain payload's decision, from the caller's objects: only a message or a room's id is read.
PyObject* route_plain(std::optional<EventType> kind, const Name& event_type, PyObject* payload, PyObject* const* fields,
                      std::optional<TextRef> room_id, std::string_view agent_id, std::optional<std::string_view> trace) {
    if (kind == EventType::MessageCreated) return route_plain_message(payload, fields, room_id, agent_id, trace);
    if (kind != EventType::RoomRemoved && kind != EventType::RoomDeleted) return event_decision(ignored_event(event_type));
    StrHolds holds;
    Json id_member;
    if (PyDict_CheckExact(payload) && !plain_member(payload, kId, holds, id_member)) return nullptr;
    return event_decision(route_room_cleanup(room_id, id_member.is_null() ? nullptr : &id_member, trace));
}

const Signature kEvaluateDeliveryEvent{
    Callable::Function, "", "evaluate_delivery_event(event_type, room_id, payload, agent_id, trace_context=None)",
    "Evaluate the routing decision for one inbound platform event.\n\nOn failure raises `ValueError` with `.issues` "
    "(a tuple of\n`(path, code, message)` triples) and `.trace_context`. A `payload` that\ncannot be converted raises "
    "`TypeError`."};
PyObject* evaluate_delivery_event(const Args& a) {
    Name event_type;
    std::optional<TextRef> room_id;
    TrackedJson payload;
    std::string_view agent_id;
    std::optional<std::string_view> trace;
    if (!a.get(0, event_type) || !a.get(1, room_id)) return nullptr;
    const std::optional<EventType> kind = from_wire_name<EventType>(event_type.text);
    // A plain payload converts without fail, so the remaining arguments may be taken first (str
    // conversions: no Python code runs).
    PyObject* fields[kMaxMessageFields] = {};
    if (is_plain(a[2], kind == EventType::MessageCreated ? &kPlainMessage : nullptr, fields)) {
        if (!a.get(3, agent_id) || !a.get(4, trace)) return nullptr;
        return route_plain(kind, event_type, a[2], fields, room_id, agent_id, trace);
    }
    // Only str checks follow the payload, so its strings stay alive to be handed back.
    if (!json_arg(a, 2, payload) || !a.get(3, agent_id) || !a.get(4, trace)) return nullptr;
    return event_decision(evaluate_delivery_event(event_type, room_id, payload.value, agent_id, trace));
}

// ---- drain

QSC_COLD bool malformed_candidate(std::string_view member) {
    raise_type_error(cat({"candidate.", member, " must be a string"}));
    return false;
}

bool candidate_member(const Json& candidate, std::string_view member, TextRef& out) {
    const JsonObject* object = candidate.object_if();
    const Json* value = object ? object->find(member) : nullptr;
    if (!value || !value->is_string()) return malformed_candidate(member);
    out = TextRef::of(value->as_string());
    return true;
}

bool drain_candidate(const Args& a, std::optional<Json>& json, std::optional<DrainCandidate>& out) {
    // `seen_ids` is iterated afterwards and may run Python code: keep no borrowed strings.
    if (!optional_json_arg(a, 0, json, Origins::Drop)) return false;
    if (!json) return true;
    DrainCandidate c;
    if (!candidate_member(*json, "id", c.id) || !candidate_member(*json, "sender_id", c.sender_id) ||
        !candidate_member(*json, "sender_type", c.sender_type))
        return false;
    out = c;
    return true;
}

// The one membership question the drain step asks, answered while checking every item.
struct SeenScan {
    bool seen = false;
    bool contains(std::string_view) const noexcept { return seen; }
};

bool scan_seen_ids(PyObject* seen_ids, const std::optional<DrainCandidate>& candidate, SeenScan& out) {
    if (PyUnicode_Check(seen_ids)) {
        raise_type_error("`seen_ids` must be an iterable of str, not a str");
        return false;
    }
    Ref iter = Ref::steal(PyObject_GetIter(seen_ids));
    if (!iter) return false;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        Name id;
        if (!convert(item.get(), id)) return false;
        if (candidate && id.text == candidate->id.text) out.seen = true;
    }
    return !PyErr_Occurred();
}

PyObject* drain_step(const DrainStep& step) {
    if (step.kind == DrainStep::Kind::NoCandidate) return decision(step.kind);
    return decision(step.kind, {{kMessageId, step.message_id}});
}

const Signature kEvaluateDrainCandidate{
    Callable::Function, "", "evaluate_drain_candidate(candidate, seen_ids, agent_id)",
    "One step of the drain loop. `candidate` is a mapping with `id`,\n`sender_id`, `sender_type` (or `None` when the "
    "host's fetch returned no\ncandidate); a malformed mapping raises `TypeError`."};
PyObject* evaluate_drain_candidate(const Args& a) {
    std::string_view agent_id;
    std::optional<Json> json;
    std::optional<DrainCandidate> candidate;
    SeenScan seen;
    if (!a.get(2, agent_id) || !drain_candidate(a, json, candidate) || !scan_seen_ids(a[1], candidate, seen))
        return nullptr;
    return drain_step(evaluate_drain_candidate(candidate, seen, agent_id));
}

// ---- next message, adapter result, self echo

const Signature kEvaluateNextMessage{
    Callable::Function, "", "evaluate_next_message(triggering_message_id, next_message_id)",
    "Compares the triggering message against the platform's authoritative\n\"next open message\" for a room."};
PyObject* evaluate_next_message(const Args& a) {
    TextRef triggering;
    std::optional<TextRef> next;
    if (!a.get(0, triggering) || !a.get(1, next)) return nullptr;
    const NextMessageDecision d = evaluate_next_message(triggering, next);
    if (d.kind != NextMessageDecision::Kind::AlreadyProcessed) return decision(d.kind);
    return decision(d.kind, {{kNextOpenId, d.next_open_id}});
}

const Signature kEvaluateAdapterResult{Callable::Function, "", "evaluate_adapter_result(room_id, message_id, succeeded)",
                                       "Adapter outcome -> ack decision."};
PyObject* evaluate_adapter_result(const Args& a) {
    TextRef room_id, message_id;
    bool succeeded = false;
    if (!a.get(0, room_id) || !a.get(1, message_id) || !a.get(2, succeeded)) return nullptr;
    const AckDecision d = evaluate_adapter_result(room_id, message_id, succeeded);
    return decision(d.kind, {{kRoomId, d.room_id}, {kMessageId, d.message_id}});
}

const Signature kIsSelfEcho{
    Callable::Function, "", "is_self_echo(sender_id, sender_type, agent_id)",
    "The one definition of \"self echo\" (`sender_type == \"Agent\" and\nsender_id == agent_id`), shared by "
    "[`evaluate_delivery_event`] and\n[`evaluate_drain_candidate`] internally and exposed here for a host's own\ncall "
    "sites that don't go through either."};
PyObject* is_self_echo(const Args& a) {
    std::string_view sender_id, sender_type, agent_id;
    if (!a.get(0, sender_id) || !a.get(1, sender_type) || !a.get(2, agent_id)) return nullptr;
    return boolean(qsc::is_self_echo(sender_id, sender_type, agent_id));
}

}  // namespace

PyMethodDef evaluate_adapter_result_def() { return function_def<kEvaluateAdapterResult, &evaluate_adapter_result>(); }
PyMethodDef evaluate_delivery_event_def() { return function_def<kEvaluateDeliveryEvent, &evaluate_delivery_event>(); }
PyMethodDef evaluate_drain_candidate_def() {
    return function_def<kEvaluateDrainCandidate, &evaluate_drain_candidate>();
}
PyMethodDef evaluate_next_message_def() { return function_def<kEvaluateNextMessage, &evaluate_next_message>(); }
PyMethodDef is_self_echo_def() { return function_def<kIsSelfEcho, &is_self_echo>(); }

}  // namespace qsc::py
