#include "py/plain_message.hpp"

#include <cstddef>
#include <iterator>
#include <utility>

#include "core/events/message.hpp"
#include "py/frame/interned.hpp"

namespace qsc::py {

namespace {

using events::FieldRule;
using events::Rule;

// The keys of a rule table, interned with the module's other fixed strings.
template <const auto& Rules, class = std::make_index_sequence<std::size(Rules)>>
struct RuleKeys;

template <const auto& Rules, std::size_t... I>
struct RuleKeys<Rules, std::index_sequence<I...>> {
    static inline Interned keys[sizeof...(I)] = {Interned(Rules[I].key)...};
};

Interned kMetadata{"metadata"};
Interned kMentions{"mentions"};
Interned kAttachments{"attachments"};

// A plain dict's keys are exact strs: a lookup runs no Python code.
PyObject* member(PyObject* dict, const Interned& key) { return PyDict_GetItemWithError(dict, key.get()); }

template <const auto& Rules>
bool rules_hold(PyObject* object) {
    if (!PyDict_CheckExact(object)) return false;
    const Interned* keys = RuleKeys<Rules>::keys;
    for (std::size_t i = 0; i < std::size(Rules); ++i) {
        PyObject* value = member(object, keys[i]);
        switch (Rules[i].rule) {
            case Rule::RequiredString:
                if (!value || !PyUnicode_CheckExact(value)) return false;
                break;
            case Rule::NullableString:
                if (value && value != Py_None && !PyUnicode_CheckExact(value)) return false;
                break;
            default: return false;
        }
    }
    return true;
}

}  // namespace

bool plain_message_holds(PyObject* payload) {
    if (!rules_hold<events::kMessageFields>(payload)) return false;
    PyObject* metadata = member(payload, kMetadata);
    if (!metadata || !PyDict_CheckExact(metadata)) return false;
    PyObject* mentions = member(metadata, kMentions);
    if (!mentions || !PyList_CheckExact(mentions)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(mentions); ++i)
        if (!rules_hold<events::kMentionFields>(PyList_GET_ITEM(mentions, i))) return false;
    PyObject* attachments = member(payload, kAttachments);
    return attachments && PyList_CheckExact(attachments);
}

}  // namespace qsc::py
