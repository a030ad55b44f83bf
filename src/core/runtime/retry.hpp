// The per-message retry budget of one connection: attempt counts and permanent failures, both
// bounded and evicted by first insertion. Keyed by message id alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/ordered.hpp"
#include "core/text_hash.hpp"

namespace qsc {

struct AttemptState {
    std::uint32_t attempts = 0;
    std::uint32_t limit = 0;
};

struct RecordedAttempt {
    std::uint32_t attempts = 0;
    bool exhausted = false;
};

class RetryTracker {
public:
    // A `max_tracked` of 0 is taken as 1.
    RetryTracker(std::uint32_t max_retries, std::size_t max_tracked) noexcept;

    std::uint32_t max_retries() const noexcept { return max_retries_; }

    RecordedAttempt record_attempt(const HashedText& message_id);
    // Undoes one attempt of a cycle aborted before the handler ran.
    void discard_attempt(const HashedText& message_id) noexcept;
    void mark_success(const HashedText& message_id) noexcept { attempts_.erase(message_id); }
    bool is_permanently_failed(const HashedText& message_id) const noexcept {
        return failed_.contains(message_id);
    }
    void mark_permanently_failed(const HashedText& message_id);

    // The stored state, or no attempts under the default limit for an untracked message.
    AttemptState attempt_state(const HashedText& message_id) const noexcept;
    // Puts back a state taken earlier: the larger count, the smaller limit; a count that has
    // reached its limit fails the message for good.
    void restore_attempt(const HashedText& message_id, std::uint32_t attempts, std::uint32_t limit);

private:
    void store(const HashedText& message_id, AttemptState* state, AttemptState next, bool failed);

    OrderedMap<AttemptState> attempts_;
    OrderedSet failed_;
    std::size_t max_tracked_;
    std::uint32_t max_retries_;
};

}  // namespace qsc
