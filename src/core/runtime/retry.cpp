#include "core/runtime/retry.hpp"

#include <algorithm>

#include "core/number.hpp"

namespace qsc {

RetryTracker::RetryTracker(std::uint32_t max_retries, std::size_t max_tracked) noexcept
    : max_tracked_(std::max<std::size_t>(max_tracked, 1)), max_retries_(max_retries) {}

// Puts `next` in the message's entry (`state`, or a new one when null) and, when `failed`, fails
// the message for good. Both entries go in before either memory evicts anything, so that running
// out of memory for the second takes the first back: nothing changes. Eviction cannot reach a
// new entry: it sits at the back and at least one entry is kept.
void RetryTracker::store(const HashedText& message_id, AttemptState* state, AttemptState next, bool failed) {
    const bool newly_failed = failed && failed_.emplace_back(message_id).second;
    if (state) {
        *state = next;
    } else {
        try {
            attempts_.emplace_back(message_id, next);
        } catch (...) {
            if (newly_failed) failed_.erase(message_id);
            throw;
        }
        attempts_.trim_front(max_tracked_);
    }
    if (newly_failed) failed_.trim_front(max_tracked_);
}

// One probe finds the entry or makes room for it; a message's first attempt starts from none
// under the default limit. Running out of memory for the failure takes a new entry back.
RecordedAttempt RetryTracker::record_attempt(const HashedText& message_id) {
    const auto [state, inserted] = attempts_.emplace_back(message_id, AttemptState{0, max_retries_});
    const AttemptState next{saturating_increment(state->attempts), state->limit};
    const RecordedAttempt result{next.attempts, next.attempts > next.limit};
    if (result.exhausted) {
        try {
            mark_permanently_failed(message_id);
        } catch (...) {
            if (inserted) attempts_.erase(message_id);
            throw;
        }
    }
    *state = next;
    if (inserted) attempts_.trim_front(max_tracked_);
    return result;
}

void RetryTracker::discard_attempt(const HashedText& message_id) noexcept {
    AttemptState* state = attempts_.find(message_id);
    if (!state) return;
    if (state->attempts >= 2) --state->attempts;
    else attempts_.erase(message_id);
}

void RetryTracker::mark_permanently_failed(const HashedText& message_id) {
    if (failed_.emplace_back(message_id).second) failed_.trim_front(max_tracked_);
}

AttemptState RetryTracker::attempt_state(const HashedText& message_id) const noexcept {
    const AttemptState* state = attempts_.find(message_id);
    return state ? *state : AttemptState{0, max_retries_};
}

void RetryTracker::restore_attempt(const HashedText& message_id, std::uint32_t attempts, std::uint32_t limit) {
    AttemptState* state = attempts_.find(message_id);
    const AttemptState next = state ? AttemptState{std::max(state->attempts, attempts), std::min(state->limit, limit)}
                                    : AttemptState{attempts, std::min(limit, max_retries_)};
    store(message_id, state, next, next.attempts >= next.limit);
}

}  // namespace qsc
