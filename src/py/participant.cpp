// ParticipantRoster: participants from any mapping, and the host's trace-context provider.
#include <vector>

#include "core/runtime/participant.hpp"
#include "py/frame/binding.hpp"
#include "py/frame/build.hpp"
#include "py/frame/interned.hpp"
#include "py/frame/json.hpp"
#include "py/registry.hpp"

namespace qsc::py {

namespace {

// The roster and the one host object the module keeps.
struct RosterState {
    ParticipantRoster roster;
    Ref provider;

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(provider.get());
        return 0;
    }
    void clear() { provider = Ref(); }
};

using RosterObject = Object<RosterState, ClassId::ParticipantRoster>;

// ---- participants to and from Python

Interned kId{"id"};
Interned kFieldKeys[] = {Interned{kParticipantFields[0].key}, Interned{kParticipantFields[1].key},
                         Interned{kParticipantFields[2].key}, Interned{kParticipantFields[3].key}};
static_assert(std::size(kFieldKeys) == std::size(kParticipantFields));

QSC_COLD bool participant_error(std::string_view message) {
    raise_type_error(message);
    return false;
}

// Keys other than the five must convert too, though they are dropped.
bool participant_from_py(PyObject* o, Participant& out) {
    Json value;
    if (!json_from_py(o, value, Origins::Drop)) return false;
    JsonObject* object = value.object_if();
    if (!object) return participant_error("participant must be a mapping");
    Json* id = object->find("id");
    if (!id || !id->is_string()) return participant_error("participant field `id` must be a string");
    out.id = std::string(id->as_string().text());
    for (const ParticipantField& field : kParticipantFields) {
        Json* v = object->find(field.key);
        if (!v || v->is_null()) continue;
        if (!v->is_string())
            return participant_error(cat({"participant field `", field.key, "` must be a string or None"}));
        out.*field.member = std::string(v->as_string().text());
    }
    return true;
}

bool participants_from_py(PyObject* iterable, std::vector<Participant>& out) {
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (!participant_from_py(item.get(), out.emplace_back())) return false;
    }
    return !PyErr_Occurred();
}

PyObject* participant_to_py(const Participant& p) {
    const auto field = [&](int i) { return str_or_none(p.*kParticipantFields[i].member); };
    return Py_BuildValue("{O:N,O:N,O:N,O:N,O:N}", kId.get(), str(p.id), kFieldKeys[0].get(), field(0),
                         kFieldKeys[1].get(), field(1), kFieldKeys[2].get(), field(2), kFieldKeys[3].get(), field(3));
}

// The provider's answer when it is a str; anything else is no trace context. Its failures are
// swallowed, except an interrupt or running out of memory: false with that raised. `keep` holds
// the str the answer views.
bool provided_trace(const Ref& provider, Ref& keep, TraceContext& out) {
    if (!provider) return true;
    Ref callable = provider;  // the provider may drop the roster's own reference while it runs
    keep = Ref::steal(PyObject_CallNoArgs(callable.get()));
    std::string_view text;
    if (keep && PyUnicode_Check(keep.get()) && utf8_view(keep.get(), text)) {
        out = text;
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
    PyErr_Clear();
    return true;
}

// ---- ParticipantRoster

const Signature kRosterNew{
    Callable::Constructor, "ParticipantRoster", "ParticipantRoster(*, trace_context_provider=None)",
    "The always-injected passive participant roster. A participant is any\nmapping; `id`, `name`, `type`, `handle`, "
    "`description` are read from it\nand returned by [`list`](Self::list) -- every other key is dropped,\nmatching "
    "the platform's own `participant_added`/`participant_removed`\nfield set. `id` is required and must be a "
    "string; the other four are\neach a string or `None`."};
PyObject* roster_new(const Args& a) {
    RosterState state;
    if (a.given(0)) state.provider = Ref::borrow(a[0]);
    return make_object<RosterObject>(std::move(state));
}

const Signature kAdd{Callable::Method, "ParticipantRoster", "add($self, participant)",
                     "Add a participant, or merge it into the existing entry with the same\n`id`. Returns `True` if "
                     "newly added, `False` if an existing id was\nrefreshed in place."};
PyObject* add(RosterObject& self, const Args& a) {
    Participant participant;
    if (!participant_from_py(a[0], participant)) return nullptr;
    return boolean(self.value.roster.add(std::move(participant)));
}

const Signature kRemove{Callable::Method, "ParticipantRoster", "remove($self, participant_id)",
                        "Remove the participant with this id. Returns `True` if one was\nremoved."};
PyObject* remove(RosterObject& self, const Args& a) {
    std::string_view id;
    if (!a.get(0, id)) return nullptr;
    return boolean(self.value.roster.remove(id));
}

const Signature kSetAll{
    Callable::Method, "ParticipantRoster", "set_all($self, participants, trace_context=None)",
    "Replace the roster from an authoritative iterable of participants.\nRejects the whole snapshot -- leaving the "
    "roster unchanged -- if any\nid appears in it more than once, raising `ValueError` with `.issues`\nand "
    "`.trace_context` (an explicit `trace_context` argument wins over\nthe constructor's `trace_context_provider`)."};
PyObject* set_all(RosterObject& self, const Args& a) {
    TraceContext trace;
    if (!a.get(1, trace)) return nullptr;
    std::vector<Participant> snapshot;
    if (!participants_from_py(a[0], snapshot)) return nullptr;
    Ref provided;
    if (!trace && !provided_trace(self.value.provider, provided, trace)) return nullptr;
    if (auto error = self.value.roster.set_all(std::move(snapshot), trace)) return raise_core_error(*error);
    return none();
}

const Signature kList{Callable::Method, "ParticipantRoster", "list($self)",
                      "The current roster, in add order, as a list of dicts."};
PyObject* list(RosterObject& self) { return list_of(self.value.roster.list(), participant_to_py); }

const Signature kChanged{Callable::Method, "ParticipantRoster", "changed($self)",
                         "Whether membership or any tracked field changed since the last\n`mark_sent()`."};
PyObject* changed(RosterObject& self) { return boolean(self.value.roster.changed()); }

const Signature kMarkSent{Callable::Method, "ParticipantRoster", "mark_sent($self)",
                          "Snapshot the current roster as sent."};
PyObject* mark_sent(RosterObject& self) {
    self.value.roster.mark_sent();
    return none();
}

}  // namespace

PyTypeObject* make_participant_roster_class() {
    static PyMethodDef methods[] = {
        method_def<RosterObject, Use::Exclusive, kAdd, &add>(),
        method_def<RosterObject, Use::Exclusive, kRemove, &remove>(),
        method_def<RosterObject, Use::Exclusive, kSetAll, &set_all>(),
        method_noargs_def<RosterObject, Use::Shared, kList, &list>(),
        method_noargs_def<RosterObject, Use::Shared, kChanged, &changed>(),
        method_noargs_def<RosterObject, Use::Exclusive, kMarkSent, &mark_sent>(),
        kMethodsEnd,
    };
    return make_class<kRosterNew, &roster_new>(collectable_class_spec<RosterObject>("quarn_sdk_core.ParticipantRoster"), methods);
}

}  // namespace qsc::py
