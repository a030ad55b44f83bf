// AgentFailure: a provider failure carried verbatim, as a dict or as extension data.
#include "core/agent_failure.hpp"
#include "py/frame/binding.hpp"
#include "py/frame/build.hpp"
#include "py/frame/interned.hpp"
#include "py/frame/json.hpp"
#include "py/registry.hpp"

namespace qsc::py {

namespace {

using FailureObject = Object<AgentFailure, ClassId::AgentFailure>;

const Signature kFailureNew{Callable::Constructor, "AgentFailure", "AgentFailure(provider, message, code=None, detail=None)",
                            "One agent-provider failure, surfaced verbatim rather than classified."};
PyObject* failure_new(const Args& a) {
    std::string_view provider, message;
    std::optional<std::string_view> code;
    AgentFailure failure;
    if (!a.get(0, provider) || !a.get(1, message) || !a.get(2, code)) return nullptr;
    if (!optional_json_from_py(a[3], failure.detail, Origins::Drop)) return nullptr;
    failure.provider = provider;
    failure.message = message;
    if (code) failure.code = std::string(*code);
    return make_object<FailureObject>(std::move(failure));
}

PyObject* detail_to_py(const std::optional<Json>& detail) {
    if (!detail) Py_RETURN_NONE;
    return json_to_py(*detail);
}

PyObject* provider(FailureObject& self) { return str(self.value.provider); }
PyObject* code(FailureObject& self) { return str_or_none(self.value.code); }
PyObject* message(FailureObject& self) { return str(self.value.message); }
PyObject* detail(FailureObject& self) { return detail_to_py(self.value.detail); }

Interned kProvider{"provider"};
Interned kCode{"code"};
Interned kMessage{"message"};
Interned kDetail{"detail"};
Interned kExtensionKey{FAILURE_EXTENSION_KEY};

const Signature kToDict{Callable::Method, "AgentFailure", "to_dict($self)", "The failure as a plain JSON-shaped dict."};
PyObject* to_dict(FailureObject& self) {
    const AgentFailure& f = self.value;
    return Py_BuildValue("{O:N,O:N,O:N,O:N}", kProvider.get(), str(f.provider), kCode.get(), str_or_none(f.code),
                         kMessage.get(), str(f.message), kDetail.get(), detail_to_py(f.detail));
}

const Signature kToExtensionData{Callable::Method, "AgentFailure", "to_extension_data($self)",
                                 "The canonical failure payload under Core's extension-data key."};
PyObject* to_extension_data(FailureObject& self) {
    return Py_BuildValue("{O:N}", kExtensionKey.get(), to_dict(self));
}

}  // namespace

PyTypeObject* make_agent_failure_class() {
    static PyMethodDef methods[] = {
        method_noargs_def<FailureObject, Use::Shared, kToDict, &to_dict>(),
        method_noargs_def<FailureObject, Use::Shared, kToExtensionData, &to_extension_data>(),
        kMethodsEnd,
    };
    static PyGetSetDef getset[] = {getter_def<FailureObject, &provider>("provider"),
                                   getter_def<FailureObject, &code>("code"),
                                   getter_def<FailureObject, &message>("message"),
                                   getter_def<FailureObject, &detail>("detail"), kGetSetEnd};
    return make_class<kFailureNew, &failure_new>(class_spec<FailureObject>("quarn_sdk_core.AgentFailure"), methods, getset);
}

}  // namespace qsc::py
