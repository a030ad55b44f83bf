// TurnLedger, the platform tools' effects, the no-reply tool and the missing-reply notice.
#include <utility>

#include "core/turn.hpp"
#include "py/frame/binding.hpp"
#include "py/frame/build.hpp"
#include "py/frame/enums.hpp"
#include "py/frame/interned.hpp"
#include "py/registry.hpp"

namespace qsc::py {

using TurnLedgerObject = Object<TurnLedger, ClassId::TurnLedger>;

namespace {

// ---- TurnLedger

const Signature kLedgerNew{Callable::Constructor, "TurnLedger", "TurnLedger()",
                           "One agent turn's progress toward a reply. `record` takes a `TurnEffect`\n"
                           "only; any other value raises `TypeError`."};
PyObject* ledger_new(const Args&) { return make_object<TurnLedgerObject>(TurnLedger{}); }

const Signature kRecord{Callable::Method, "TurnLedger", "record($self, effect)", ""};
PyObject* record(TurnLedgerObject& self, const Args& a) {
    TurnEffect effect{};
    if (!a.get(0, effect)) return nullptr;
    self.value.record(effect);
    return none();
}

const Signature kSettle{Callable::Method, "TurnLedger", "settle($self)", ""};
PyObject* settle(TurnLedgerObject& self) {
    self.value.settle();
    return none();
}

const Signature kNoteReported{Callable::Method, "TurnLedger", "note_reported($self)", ""};
PyObject* note_reported(TurnLedgerObject& self) {
    self.value.note_reported();
    return none();
}

const Signature kReplySettled{Callable::Method, "TurnLedger", "reply_settled($self)", ""};
PyObject* reply_settled(TurnLedgerObject& self) { return boolean(self.value.reply_settled()); }

const Signature kVerdict{Callable::Method, "TurnLedger", "verdict($self)", ""};
PyObject* verdict(TurnLedgerObject& self) { return variant(self.value.verdict()); }

// ---- the tool catalogue

template <class Indices>
struct ToolNames;
template <std::size_t... I>
struct ToolNames<std::index_sequence<I...>> {
    static inline Interned keys[] = {Interned{kQuarnTools[I].name}...};
};
using ToolKeys = ToolNames<std::make_index_sequence<std::size(kQuarnTools)>>;

const Signature kQuarnToolEffects{Callable::Function, "", "quarn_tool_effects()",
                                  "Every Quarn tool's canonical name and its `TurnEffect`."};
PyObject* quarn_tool_effects() {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < std::size(kQuarnTools); ++i) {
        Ref effect = Ref::steal(variant(kQuarnTools[i].effect));
        if (PyDict_SetItem(dict.get(), ToolKeys::keys[i].get(), effect.get()) < 0) return nullptr;
    }
    return dict.release();
}

Interned kName{"name"};
Interned kDescription{"description"};
Interned kParameters{"parameters"};
Interned kRequired{"required"};

PyObject* parameter_to_py(const ToolParameterSpec& p) {
    return Py_BuildValue("{O:N,O:N,O:O}", kName.get(), str(p.name), kDescription.get(), str(p.description),
                         kRequired.get(), p.required ? Py_True : Py_False);
}

PyObject* tool_to_py(const ToolSpec& tool) {
    return Py_BuildValue("{O:N,O:N,O:N}", kName.get(), str(tool.name), kDescription.get(), str(tool.description),
                         kParameters.get(), list_of(tool.parameters, parameter_to_py));
}

const Signature kNoReplyTool{Callable::Function, "", "no_reply_tool()",
                             "`quarn_no_reply`'s definition as a `ToolSpec` dict."};
PyObject* no_reply_tool_py() { return tool_to_py(no_reply_tool()); }

const Signature kMissingReplyMessage{Callable::Function, "", "missing_reply_message()",
                                     "The text shown to the room on `TurnVerdict.MissingReply`."};
PyObject* missing_reply_message_py() { return str(missing_reply_message()); }

}  // namespace

PyTypeObject* make_turn_ledger_class() {
    static PyMethodDef methods[] = {
        method_def<TurnLedgerObject, Use::Exclusive, kRecord, &record>(),
        method_noargs_def<TurnLedgerObject, Use::Exclusive, kSettle, &settle>(),
        method_noargs_def<TurnLedgerObject, Use::Exclusive, kNoteReported, &note_reported>(),
        method_noargs_def<TurnLedgerObject, Use::Shared, kReplySettled, &reply_settled>(),
        method_noargs_def<TurnLedgerObject, Use::Shared, kVerdict, &verdict>(),
        kMethodsEnd,
    };
    return make_class<kLedgerNew, &ledger_new>(class_spec<TurnLedgerObject>("quarn_sdk_core.TurnLedger"), methods);
}

PyMethodDef quarn_tool_effects_def() { return noargs_def<kQuarnToolEffects, &quarn_tool_effects>(); }
PyMethodDef no_reply_tool_def() { return noargs_def<kNoReplyTool, &no_reply_tool_py>(); }
PyMethodDef missing_reply_message_def() { return noargs_def<kMissingReplyMessage, &missing_reply_message_py>(); }

}  // namespace qsc::py
