// validate_event_payload: the one entry that checks and normalises any inbound event payload.
#include <optional>

#include "core/events/dispatch.hpp"
#include "py/frame/binding.hpp"
#include "py/frame/json.hpp"
#include "py/plain_events.hpp"
#include "py/registry.hpp"

namespace qsc::py {

namespace {

// The answer for a plain payload of its kind's plain shape, taken from the caller's objects;
// null (no exception) when the general path must answer.
PyObject* plain_answer(EventType kind, PyObject* raw) { return plain_sorted_copy(raw, plain_event_shape(kind)); }

QSC_COLD PyObject* unknown_event_type(std::string_view name, TraceContext trace) {
    return raise_core_error(
        CoreError(Issue{"event_type", IssueCode::InvalidValue, cat({"unknown event type `", name, "`"})}, trace));
}

// A wire name (str) or an EventType instance; anything else is a plain TypeError.
bool event_kind(PyObject* o, TraceContext trace, EventType& out) {
    if (PyUnicode_Check(o)) {
        Name name;
        if (!convert(o, name)) return false;
        const std::optional<EventType> kind = from_wire_name<EventType>(name.text);
        if (!kind) return unknown_event_type(name.text, trace), false;
        out = *kind;
        return true;
    }
    if (Py_TYPE(o) == state().enums[static_cast<int>(EnumId::EventType)]) {
        out = static_cast<EventType>(enum_value(o));
        return true;
    }
    raise_type_error("event_type must be a str");
    return false;
}

const Signature kValidateEventPayload{
    Callable::Function, "", "validate_event_payload(event_type, raw, trace_context=None)",
    "Validate and normalize an inbound platform event payload.\n\nOn failure raises `ValueError` with `.issues` (a "
    "tuple of\n`(path, code, message)` triples) and `.trace_context`."};
PyObject* validate_event_payload(const Args& a) {
    std::optional<std::string_view> trace;
    EventType kind{};
    // The name is resolved before the payload is looked at; the payload is converted last, so
    // its strings can be handed back as they are.
    if (!a.get(2, trace) || !event_kind(a[0], trace, kind)) return nullptr;
    if (PyObject* answer = plain_answer(kind, a[1])) return answer;
    TrackedJson payload;
    if (!json_arg(a, 1, payload)) return nullptr;
    if (auto error = events::normalize_event_payload(kind, payload.value, trace)) return raise_core_error(*error);
    return json_to_py(payload.value);
}

}  // namespace

PyMethodDef validate_event_payload_def() { return function_def<kValidateEventPayload, &validate_event_payload>(); }

}  // namespace qsc::py
