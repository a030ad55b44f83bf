// RetryTracker: each message's retry budget.
#include "core/number.hpp"
#include "py/frame/binding.hpp"
#include "py/registry.hpp"
#include "py/retry.hpp"

namespace qsc::py {

namespace {

const Signature kTrackerNew{Callable::Constructor, "RetryTracker", "RetryTracker(max_retries=..., max_tracked=...)",
                            "Per-message retry budget: bounded attempt/failure tracking plus\n`discard_attempt` for a "
                            "cycle the caller's own control signal aborted\nbefore it ran the handler."};
PyObject* tracker_new(const Args& a) {
    Capacity<0> max_retries{1};
    Capacity<1> max_tracked{10000};
    if (!a.get_all(max_retries, max_tracked)) return nullptr;
    return make_object<TrackerObject>(RetryTracker(max_retries.value, max_tracked.value));
}

const Signature kRecordAttempt{Callable::Method, "RetryTracker", "record_attempt($self, message_id)", ""};
PyObject* record_attempt(TrackerObject& self, const Args& a) {
    std::string_view id;
    if (!a.get(0, id)) return nullptr;
    // The answer is made before the attempt is counted: without memory for it nothing changes.
    const HashedText key(id);
    const AttemptState before = self.value.attempt_state(key);
    const std::uint32_t attempts = saturating_increment(before.attempts);
    Ref count = Ref::steal(to_python(attempts));
    Ref answer = count ? Ref::steal(PyTuple_New(2)) : Ref();
    if (!answer) return nullptr;
    PyTuple_SET_ITEM(answer.get(), 0, count.release());
    PyTuple_SET_ITEM(answer.get(), 1, boolean(attempts > before.limit));
    const RecordedAttempt attempt = self.value.record_attempt(key);
    QSC_ASSERT(attempt.attempts == attempts, "attempt count differs from its answer");
    return answer.release();
}

const Signature kDiscardAttempt{Callable::Method, "RetryTracker", "discard_attempt($self, message_id)", ""};
const Signature kMarkSuccess{Callable::Method, "RetryTracker", "mark_success($self, message_id)", ""};
const Signature kMarkFailed{Callable::Method, "RetryTracker", "mark_permanently_failed($self, message_id)", ""};

const Signature kIsFailed{Callable::Method, "RetryTracker", "is_permanently_failed($self, message_id)", ""};

}  // namespace

PyTypeObject* make_retry_tracker_class() {
    using T = TrackerObject;
    static PyMethodDef methods[] = {
        method_def<T, Use::Exclusive, kRecordAttempt, &record_attempt>(),
        method_def<T, Use::Exclusive, kDiscardAttempt, by_id<T, &RetryTracker::discard_attempt>>(),
        method_def<T, Use::Exclusive, kMarkSuccess, by_id<T, &RetryTracker::mark_success>>(),
        method_def<T, Use::Shared, kIsFailed, by_id<T, &RetryTracker::is_permanently_failed>>(),
        method_def<T, Use::Exclusive, kMarkFailed, by_id<T, &RetryTracker::mark_permanently_failed>>(),
        kMethodsEnd,
    };
    static PyGetSetDef getset[] = {getter_def<T, &delegate_noargs<T, &RetryTracker::max_retries>>("max_retries"),
                                   kGetSetEnd};
    return make_class<kTrackerNew, &tracker_new>(class_spec<T>("quarn_sdk_core.RetryTracker"), methods, getset);
}

}  // namespace qsc::py
