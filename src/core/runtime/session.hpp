// One WebSocket session's state machine: epochs, stale reports, back-off and the cooldown ladder.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

#include "core/enums.hpp"
#include "core/number.hpp"
#include "core/runtime/ticket.hpp"
#include "core/runtime/time.hpp"

namespace qsc {

struct SessionOutcome {
    std::optional<Duration> delay;
    std::optional<DeadReason> dead_reason;
    SessionState state = SessionState::Connecting;
    std::optional<StaleReason> stale_reason;
};

class Session {
public:
    // Tests of the limits reach the counters directly.
    friend struct LimitsProbe;

    explicit Session(const SessionPolicy& policy) : policy_(policy) {}

    SessionState state() const noexcept { return state_; }
    const SessionPolicy& policy() const noexcept { return policy_; }
    // The epoch the next begin_attempt hands out, if it hands one out.
    std::uint64_t next_epoch() const noexcept { return epochs_.peek(); }

    std::optional<std::uint64_t> begin_attempt(Elapsed now);
    SessionOutcome on_connected(std::uint64_t epoch, Elapsed now);
    SessionOutcome on_socket_close(std::uint64_t epoch, Elapsed now,
                                   std::optional<std::uint16_t> close_code, JitterSample jitter);
    SessionOutcome on_upgrade_rejected(std::uint64_t epoch, Elapsed now, std::uint16_t status,
                                       std::optional<Duration> retry_after, JitterSample jitter);
    SessionOutcome on_supersede(Elapsed now, bool retryable, std::optional<Duration> retry_after,
                                JitterSample jitter);
    void end() noexcept;

private:
    SessionOutcome dead_outcome() const noexcept { return {std::nullopt, dead_reason_, state_, std::nullopt}; }
    SessionOutcome stale(StaleReason why) const noexcept { return {std::nullopt, std::nullopt, state_, why}; }
    std::optional<SessionOutcome> guard(std::uint64_t epoch, Elapsed now, bool connecting) const noexcept;
    void finish_attempt(Elapsed now) noexcept;
    SessionOutcome die(DeadReason why) noexcept;
    std::optional<DelayRange> retry_range(std::optional<Duration> retry_after) const noexcept;
    SessionOutcome record_disconnect_and_maybe_trip(Elapsed now, std::optional<DelayRange> incoming,
                                                    JitterSample jitter);

    std::optional<std::uint64_t> epoch_;
    std::optional<Elapsed> attempt_started_at_;
    std::optional<std::uint64_t> connected_epoch_;
    std::optional<Elapsed> up_since_;
    std::optional<Elapsed> last_event_at_;
    std::deque<Elapsed> rapid_disconnects_;
    SessionPolicy policy_;
    Counter epochs_;
    std::uint32_t failures_ = 0;
    std::optional<DeadReason> dead_reason_;
    SessionState state_ = SessionState::Connecting;
};

}  // namespace qsc
