#include "core/runtime/retry.hpp"

#include <algorithm>

#include "core/number.hpp"

namespace qsc {

RetryTracker::RetryTracker(std::uint32_t max_retries, std::size_t max_tracked) noexcept
    : max_tracked_(std::max<std::size_t>(max_tracked, 1)), max_retries_(max_retries) {}

// The entry of `message_id`, appended as `fresh` (with eviction) when absent. Eviction cannot
// reach the new entry: it sits at the back and at least one entry is kept.
AttemptState& RetryTracker::tracked(const HashedText& message_id, AttemptState fresh) {
    auto [state, inserted] = attempts_.emplace_back(message_id, fresh);
    if (inserted) attempts_.trim_front(max_tracked_);
    return *state;
}

RecordedAttempt RetryTracker::record_attempt(const HashedText& message_id) {
    AttemptState* state = attempts_.find(message_id);
    if (state) state->attempts = saturating_increment(state->attempts);
    else state = &tracked(message_id, {1, max_retries_});
    const RecordedAttempt result{state->attempts, state->attempts > state->limit};
    if (result.exhausted) mark_permanently_failed(message_id);
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
    if (state) *state = {std::max(state->attempts, attempts), std::min(state->limit, limit)};
    else state = &tracked(message_id, {attempts, std::min(limit, max_retries_)});
    if (state->attempts >= state->limit) mark_permanently_failed(message_id);
}

}  // namespace qsc
