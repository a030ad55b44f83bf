// SessionPolicy, Session, SessionOutcome and the close/upgrade classifiers.
#include <cmath>

#include "core/number.hpp"
#include "core/runtime/session.hpp"
#include "py/frame/binding.hpp"
#include "py/frame/build.hpp"
#include "py/frame/delegate.hpp"
#include "py/frame/enums.hpp"
#include "py/frame/interned.hpp"
#include "py/frame/ranged.hpp"
#include "py/registry.hpp"

namespace qsc::py {

using PolicyObject = Object<SessionPolicy, ClassId::SessionPolicy>;
using SessionObject = Object<Session, ClassId::Session>;
using OutcomeObject = Object<SessionOutcome, ClassId::SessionOutcome>;

namespace {

// `epoch` and the 16-bit codes arrive as signed 64-bit ints (2**63 is an OverflowError).
using Epoch = Ranged<std::uint64_t, 0, INT64_MAX, IntRead::Signed64, IntWords::NonNegative>;
using Code = Ranged<std::uint16_t, 0, 65535, IntRead::Signed64>;

// ---- SessionPolicy

enum class Field : std::uint8_t { Seconds, Factor, Threshold };
struct ConfigKey {
    Interned key;
    Field field;
    Duration SessionPolicy::*duration;
};

ConfigKey kConfigKeys[] = {
    {Interned{"base_delay_s"}, Field::Seconds, &SessionPolicy::base_delay},
    {Interned{"factor"}, Field::Factor, nullptr},
    {Interned{"max_delay_s"}, Field::Seconds, &SessionPolicy::max_delay},
    {Interned{"stable_reset_s"}, Field::Seconds, &SessionPolicy::stable_reset},
    {Interned{"rapid_disconnect_uptime_s"}, Field::Seconds, &SessionPolicy::rapid_disconnect_uptime},
    {Interned{"rapid_window_s"}, Field::Seconds, &SessionPolicy::rapid_window},
    {Interned{"rapid_first_min_delay_s"}, Field::Seconds, &SessionPolicy::rapid_first_min_delay},
    {Interned{"rapid_second_min_delay_s"}, Field::Seconds, &SessionPolicy::rapid_second_min_delay},
    {Interned{"rapid_cooldown_base_s"}, Field::Seconds, &SessionPolicy::rapid_cooldown_base},
    {Interned{"rapid_cooldown_step_s"}, Field::Seconds, &SessionPolicy::rapid_cooldown_step},
    {Interned{"rapid_cooldown_max_s"}, Field::Seconds, &SessionPolicy::rapid_cooldown_max},
    {Interned{"rapid_threshold"}, Field::Threshold, nullptr},
    {Interned{"heartbeat_interval_s"}, Field::Seconds, &SessionPolicy::heartbeat_interval},
    {Interned{"dead_threshold_s"}, Field::Seconds, &SessionPolicy::dead_threshold},
};

bool config_number(PyObject* config, const ConfigKey& entry, double& out) {
    const std::string_view key = entry.key.text();
    Ref value = Ref::steal(PyObject_GetItem(config, entry.key.get()));
    if (!value) {
        if (!error_is_replaceable()) return false;
        PyErr_Clear();
        raise_type_error(cat({"SessionPolicy config is missing `", key, "`"}));
        return false;
    }
    if (PyBool_Check(value.get())) {
        raise_type_error(cat({"SessionPolicy config `", key, "` must be a number, not bool"}));
        return false;
    }
    out = PyFloat_AsDouble(value.get());
    if (out == -1.0 && PyErr_Occurred()) {
        if (!error_is_replaceable()) return false;
        PyErr_Clear();
        raise_type_error(cat({"SessionPolicy config `", key, "` must be a number"}));
        return false;
    }
    return true;
}

bool read_config(PyObject* config, SessionPolicy& fields) {
    for (const ConfigKey& entry : kConfigKeys) {
        double value = 0;
        if (!config_number(config, entry, value)) return false;
        switch (entry.field) {
            case Field::Seconds: {
                Seconds seconds{value};
                if (!check_range(seconds, entry.key.text())) return false;
                fields.*entry.duration = seconds.value;
                break;
            }
            case Field::Factor: fields.factor = value; break;
            case Field::Threshold:
                if (!std::isfinite(value) || value != std::trunc(value) || value < 0 || value > 4294967295.0)
                    return out_of_range("rapid_threshold", "a whole number between 0 and 4294967295",
                                        format_number(value), "SessionPolicy config ");
                fields.rapid_threshold = static_cast<std::uint32_t>(value);
                break;
        }
    }
    return true;
}

const Signature kPolicyNew{Callable::Constructor, "SessionPolicy", "SessionPolicy(config, trace_context=None)",
                           "Reconnect backoff/jitter policy, plus the graduated rapid-disconnect\ncooldown ladder."};
PyObject* policy_new(const Args& a) {
    std::optional<std::string_view> trace;
    if (!a.get(1, trace)) return nullptr;
    SessionPolicy fields;
    if (!read_config(a[0], fields)) return nullptr;
    auto policy = SessionPolicy::make(fields, trace);
    if (!policy) return raise_core_error(policy.error());
    return make_object<PolicyObject>(std::move(*policy));
}

const Signature kPolicyDefault{Callable::Method, "SessionPolicy", "default()", "A recommended, not final, default."};
PyObject* policy_default() { return make_object<PolicyObject>(SessionPolicy::defaults()); }

PyObject* heartbeat_interval_s(PolicyObject& self) {
    return PyFloat_FromDouble(self.value.heartbeat_interval.as_secs_f64());
}
PyObject* dead_threshold_s(PolicyObject& self) { return PyFloat_FromDouble(self.value.dead_threshold.as_secs_f64()); }

// ---- SessionOutcome

PyObject* outcome_state(OutcomeObject& self) { return variant(self.value.state); }
PyObject* outcome_retry_after_s(OutcomeObject& self) {
    if (!self.value.delay) Py_RETURN_NONE;
    return PyFloat_FromDouble(self.value.delay->as_secs_f64());
}
PyObject* outcome_dead_reason(OutcomeObject& self) { return optional_variant(self.value.dead_reason); }
PyObject* outcome_stale_reason(OutcomeObject& self) { return optional_variant(self.value.stale_reason); }

// ---- Session

const Signature kSessionNew{Callable::Constructor, "Session", "Session(policy)", "One WebSocket session's state machine."};
PyObject* session_new(const Args& a) {
    PolicyObject* policy = nullptr;
    if (!a.get(0, policy)) return nullptr;
    UseGuard use(reinterpret_cast<PyObject*>(policy), Use::Shared);
    if (!use) return nullptr;
    return make_object<SessionObject>(Session(policy->value));
}

PyObject* session_state(SessionObject& self) { return variant(self.value.state()); }

const Signature kBeginAttempt{Callable::Method, "Session", "begin_attempt($self, now_s)", ""};
PyObject* begin_attempt(SessionObject& self, const Args& a) {
    NowS now;
    if (!a.get(0, now)) return nullptr;
    // The epoch's int is made before the epoch is handed out.
    Ref next = Ref::steal(unsigned_int(self.value.next_epoch()));
    if (!next) return nullptr;
    if (!self.value.begin_attempt(now.value)) Py_RETURN_NONE;
    return next.release();
}

// The reports. The outcome object is made before the session takes the step it reports.
template <auto Step, class... Params>
PyObject* report(SessionObject& self, const Args& a) {
    return with_args<Params...>(a, [&](const auto&... v) {
        return make_object_after<OutcomeObject>([&] { return std::invoke(Step, self.value, v...); });
    });
}

const Signature kOnConnected{Callable::Method, "Session", "on_connected($self, epoch, now_s)", ""};
const Signature kOnSocketClose{Callable::Method, "Session",
                               "on_socket_close($self, epoch, now_s, close_code, jitter_sample)", ""};
const Signature kOnUpgradeRejected{Callable::Method, "Session",
                                   "on_upgrade_rejected($self, epoch, now_s, status, retry_after_s, jitter_sample)", ""};
const Signature kOnSupersede{Callable::Method, "Session",
                             "on_supersede($self, now_s, retryable, retry_after_s, jitter_sample)", ""};

const Signature kEnd{Callable::Method, "Session", "end($self)", ""};
PyObject* end(SessionObject& self) {
    self.value.end();
    return variant(SessionState::Dead);
}

// ---- classifiers

PyObject* classification(bool terminal) { return Py_BuildValue("(OO)", terminal ? Py_True : Py_False, Py_None); }

const Signature kClassifyClose{
    Callable::Function, "", "classify_close(close_code)",
    "Classify a WebSocket close code. Returns `(terminal, delay_range_s)`.\nRaises `ValueError` if `close_code` is "
    "not an integer in `0..=65535`."};
PyObject* classify_close(const Args& a) {
    return with_args<std::optional<Code>>(a, [](auto code) { return classification(close_is_terminal(code)); });
}

const Signature kClassifyUpgrade{
    Callable::Function, "", "classify_upgrade(status)",
    "Classify an HTTP upgrade-rejection status code. Returns\n`(terminal, delay_range_s)`. Raises `ValueError` if "
    "`status` is not an\ninteger in `0..=65535`."};
PyObject* classify_upgrade(const Args& a) {
    return with_args<Code>(a, [](auto status) { return classification(upgrade_is_terminal(status)); });
}

}  // namespace

PyTypeObject* make_session_policy_class() {
    static PyMethodDef methods[] = {static_noargs_def<kPolicyDefault, &policy_default>(), kMethodsEnd};
    static PyGetSetDef getset[] = {getter_def<PolicyObject, &heartbeat_interval_s>("heartbeat_interval_s"),
                                   getter_def<PolicyObject, &dead_threshold_s>("dead_threshold_s"), kGetSetEnd};
    return make_class<kPolicyNew, &policy_new>(class_spec<PolicyObject>("quarn_sdk_core.SessionPolicy"), methods, getset);
}

PyTypeObject* make_session_outcome_class() {
    static PyGetSetDef getset[] = {getter_def<OutcomeObject, &outcome_state>("state"),
                                   getter_def<OutcomeObject, &outcome_retry_after_s>("retry_after_s"),
                                   getter_def<OutcomeObject, &outcome_dead_reason>("dead_reason"),
                                   getter_def<OutcomeObject, &outcome_stale_reason>("stale_reason"), kGetSetEnd};
    return make_result_class<OutcomeObject>(
        "quarn_sdk_core.SessionOutcome",
        "The settled outcome of one `Session` call.",
        getset);
}

PyTypeObject* make_session_class() {
    static PyMethodDef methods[] = {
        method_def<SessionObject, Use::Exclusive, kBeginAttempt, &begin_attempt>(),
        method_def<SessionObject, Use::Exclusive, kOnConnected, &report<&Session::on_connected, Epoch, NowS>>(),
        method_def<SessionObject, Use::Exclusive, kOnSocketClose,
                   &report<&Session::on_socket_close, Epoch, NowS, std::optional<Code>, Jitter>>(),
        method_def<SessionObject, Use::Exclusive, kOnUpgradeRejected,
                   &report<&Session::on_upgrade_rejected, Epoch, NowS, Code, std::optional<Seconds>, Jitter>>(),
        method_def<SessionObject, Use::Exclusive, kOnSupersede,
                   &report<&Session::on_supersede, NowS, bool, std::optional<Seconds>, Jitter>>(),
        method_noargs_def<SessionObject, Use::Exclusive, kEnd, &end>(),
        kMethodsEnd,
    };
    static PyGetSetDef getset[] = {getter_def<SessionObject, &session_state>("state"), kGetSetEnd};
    return make_class<kSessionNew, &session_new>(class_spec<SessionObject>("quarn_sdk_core.Session"), methods, getset);
}

PyMethodDef classify_close_def() { return function_def<kClassifyClose, &classify_close>(); }
PyMethodDef classify_upgrade_def() { return function_def<kClassifyUpgrade, &classify_upgrade>(); }

}  // namespace qsc::py
