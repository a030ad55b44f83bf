// SessionPolicy, Session, SessionOutcome and the close/upgrade classifiers.
#include <cmath>
#include <string>

#include "core/number.hpp"
#include "core/runtime/session.hpp"
#include "py/frame/binding.hpp"
#include "py/frame/enums.hpp"
#include "py/frame/interned.hpp"
#include "py/registry.hpp"

namespace qsc::py {

using PolicyObject = Object<SessionPolicy, ClassId::SessionPolicy>;
using SessionObject = Object<Session, ClassId::Session>;
using OutcomeObject = Object<SessionOutcome, ClassId::SessionOutcome>;

namespace {

// ---- argument converters shared by the policy and the session; each raises a plain ValueError

QSC_COLD bool out_of_range(std::string message) {
    raise_value_error(message);
    return false;
}

bool checked_epoch(std::int64_t epoch, std::uint64_t& out) {
    if (epoch < 0) return out_of_range(cat({"`epoch` must be a non-negative integer, got ", std::to_string(epoch)}));
    out = static_cast<std::uint64_t>(epoch);
    return true;
}

bool elapsed_from_seconds(double now_s, Elapsed& out) {
    auto elapsed = Elapsed::from_seconds(now_s);
    if (!elapsed) return out_of_range(cat({"`now_s` must be a finite, non-negative number, got ", format_number(now_s)}));
    out = *elapsed;
    return true;
}

bool jitter_sample_in_unit_interval(double value, JitterSample& out) {
    auto jitter = JitterSample::make(value);
    if (!jitter)
        return out_of_range(cat({"`jitter_sample` must be a finite number between 0.0 and 1.0, got ", format_number(value)}));
    out = *jitter;
    return true;
}

bool duration_from_seconds(std::string_view name, double value, Duration& out) {
    if (!(value >= 0.0) || std::isinf(value))
        return out_of_range(cat({"`", name, "` must be a finite, non-negative number, got ", format_number(value)}));
    out = duration_from_secs_f64(value, Duration::max());
    return true;
}

bool checked_u16(std::string_view name, std::int64_t value, std::uint16_t& out) {
    if (value < 0 || value > 65535)
        return out_of_range(cat({"`", name, "` must be an integer between 0 and 65535, got ", std::to_string(value)}));
    out = static_cast<std::uint16_t>(value);
    return true;
}

// Typed argument readers: extraction (with the note) then the range check.
bool epoch_arg(const Args& a, int i, std::uint64_t& out) {
    std::int64_t raw = 0;
    return a.get(i, raw) && checked_epoch(raw, out);
}
bool now_arg(const Args& a, int i, Elapsed& out) {
    double raw = 0;
    return a.get(i, raw) && elapsed_from_seconds(raw, out);
}
bool jitter_arg(const Args& a, int i, JitterSample& out) {
    double raw = 0;
    return a.get(i, raw) && jitter_sample_in_unit_interval(raw, out);
}
bool u16_arg(const Args& a, int i, std::uint16_t& out) {
    std::int64_t raw = 0;
    return a.get(i, raw) && checked_u16(a.signature().param(i), raw, out);
}
bool optional_u16_arg(const Args& a, int i, std::optional<std::uint16_t>& out) {
    if (!a.given(i)) return out.reset(), true;
    std::uint16_t value = 0;
    if (!u16_arg(a, i, value)) return false;
    out = value;
    return true;
}
bool optional_duration_arg(const Args& a, int i, std::optional<Duration>& out) {
    std::optional<double> raw;
    if (!a.get(i, raw)) return false;
    if (!raw) return out.reset(), true;
    Duration d;
    if (!duration_from_seconds(a.signature().param(i), *raw, d)) return false;
    out = d;
    return true;
}

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
            case Field::Seconds:
                if (!duration_from_seconds(entry.key.text(), value, fields.*entry.duration)) return false;
                break;
            case Field::Factor: fields.factor = value; break;
            case Field::Threshold:
                if (!std::isfinite(value) || value != std::trunc(value) || value < 0 || value > 4294967295.0)
                    return out_of_range(cat({"SessionPolicy config `rapid_threshold` must be a whole number "
                                             "between 0 and 4294967295, got ",
                                             format_number(value)}));
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

// The outcome object is made before the session takes the step it reports.
template <class Step>
PyObject* outcome(Step&& step) {
    return make_object_after<OutcomeObject>(std::forward<Step>(step));
}

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
    Elapsed now;
    if (!now_arg(a, 0, now)) return nullptr;
    // The epoch's int is made before the epoch is handed out.
    Ref next = Ref::steal(PyLong_FromUnsignedLongLong(self.value.next_epoch()));
    if (!next) return nullptr;
    if (!self.value.begin_attempt(now)) Py_RETURN_NONE;
    return next.release();
}

const Signature kOnConnected{Callable::Method, "Session", "on_connected($self, epoch, now_s)", ""};
PyObject* on_connected(SessionObject& self, const Args& a) {
    std::uint64_t epoch = 0;
    Elapsed now;
    if (!epoch_arg(a, 0, epoch) || !now_arg(a, 1, now)) return nullptr;
    return outcome([&] { return self.value.on_connected(epoch, now); });
}

const Signature kOnSocketClose{Callable::Method, "Session",
                               "on_socket_close($self, epoch, now_s, close_code, jitter_sample)", ""};
PyObject* on_socket_close(SessionObject& self, const Args& a) {
    std::uint64_t epoch = 0;
    Elapsed now;
    std::optional<std::uint16_t> code;
    JitterSample jitter;
    if (!epoch_arg(a, 0, epoch) || !now_arg(a, 1, now) || !optional_u16_arg(a, 2, code) || !jitter_arg(a, 3, jitter))
        return nullptr;
    return outcome([&] { return self.value.on_socket_close(epoch, now, code, jitter); });
}

const Signature kOnUpgradeRejected{Callable::Method, "Session",
                                   "on_upgrade_rejected($self, epoch, now_s, status, retry_after_s, jitter_sample)", ""};
PyObject* on_upgrade_rejected(SessionObject& self, const Args& a) {
    std::uint64_t epoch = 0;
    Elapsed now;
    std::uint16_t status = 0;
    std::optional<Duration> retry_after;
    JitterSample jitter;
    if (!epoch_arg(a, 0, epoch) || !now_arg(a, 1, now) || !u16_arg(a, 2, status) ||
        !optional_duration_arg(a, 3, retry_after) || !jitter_arg(a, 4, jitter))
        return nullptr;
    return outcome([&] { return self.value.on_upgrade_rejected(epoch, now, status, retry_after, jitter); });
}

const Signature kOnSupersede{Callable::Method, "Session",
                             "on_supersede($self, now_s, retryable, retry_after_s, jitter_sample)", ""};
PyObject* on_supersede(SessionObject& self, const Args& a) {
    Elapsed now;
    bool retryable = false;
    std::optional<Duration> retry_after;
    JitterSample jitter;
    if (!now_arg(a, 0, now) || !a.get(1, retryable) || !optional_duration_arg(a, 2, retry_after) ||
        !jitter_arg(a, 3, jitter))
        return nullptr;
    return outcome([&] { return self.value.on_supersede(now, retryable, retry_after, jitter); });
}

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
    std::optional<std::uint16_t> code;
    if (!optional_u16_arg(a, 0, code)) return nullptr;
    return classification(close_is_terminal(code));
}

const Signature kClassifyUpgrade{
    Callable::Function, "", "classify_upgrade(status)",
    "Classify an HTTP upgrade-rejection status code. Returns\n`(terminal, delay_range_s)`. Raises `ValueError` if "
    "`status` is not an\ninteger in `0..=65535`."};
PyObject* classify_upgrade(const Args& a) {
    std::uint16_t status = 0;
    if (!u16_arg(a, 0, status)) return nullptr;
    return classification(upgrade_is_terminal(status));
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
        method_def<SessionObject, Use::Exclusive, kOnConnected, &on_connected>(),
        method_def<SessionObject, Use::Exclusive, kOnSocketClose, &on_socket_close>(),
        method_def<SessionObject, Use::Exclusive, kOnUpgradeRejected, &on_upgrade_rejected>(),
        method_def<SessionObject, Use::Exclusive, kOnSupersede, &on_supersede>(),
        method_noargs_def<SessionObject, Use::Exclusive, kEnd, &end>(),
        kMethodsEnd,
    };
    static PyGetSetDef getset[] = {getter_def<SessionObject, &session_state>("state"), kGetSetEnd};
    return make_class<kSessionNew, &session_new>(class_spec<SessionObject>("quarn_sdk_core.Session"), methods, getset);
}

PyMethodDef classify_close_def() { return function_def<kClassifyClose, &classify_close>(); }
PyMethodDef classify_upgrade_def() { return function_def<kClassifyUpgrade, &classify_upgrade>(); }

}  // namespace qsc::py
