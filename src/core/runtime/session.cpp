#include "core/runtime/session.hpp"

#include <algorithm>

namespace qsc {

std::optional<std::uint64_t> Session::begin_attempt(Elapsed now) {
    if (state_ == SessionState::Dead) return std::nullopt;
    auto epoch = epochs_.next();
    if (!epoch) return std::nullopt;
    epoch_ = epoch;
    attempt_started_at_ = now;
    last_event_at_.reset();
    return epoch;
}

std::optional<SessionOutcome> Session::guard(std::uint64_t epoch, Elapsed now, bool connecting) const noexcept {
    if (state_ == SessionState::Dead) return dead_outcome();
    if (!epoch_ || *epoch_ != epoch) return stale(StaleReason::WrongEpoch);
    if (connecting && connected_epoch_ == epoch) return stale(StaleReason::DuplicateConnected);
    if (last_event_at_ && *last_event_at_ > now) return stale(StaleReason::ClockRegression);
    return std::nullopt;
}

SessionOutcome Session::on_connected(std::uint64_t epoch, Elapsed now) {
    if (auto refused = guard(epoch, now, true)) return *refused;
    last_event_at_ = now;
    state_ = SessionState::Up;
    up_since_ = now;
    connected_epoch_ = epoch;
    return {std::nullopt, std::nullopt, state_, std::nullopt};
}

void Session::finish_attempt(Elapsed now) noexcept {
    last_event_at_ = now;
    epoch_.reset();
    attempt_started_at_.reset();
}

SessionOutcome Session::die(DeadReason why) noexcept {
    dead_reason_ = why;
    state_ = SessionState::Dead;
    return dead_outcome();
}

std::optional<DelayRange> Session::retry_range(std::optional<Duration> retry_after) const noexcept {
    if (!retry_after) return std::nullopt;
    return DelayRange{*retry_after, std::max(*retry_after, policy_.max_delay)};
}

SessionOutcome Session::on_socket_close(std::uint64_t epoch, Elapsed now,
                                        std::optional<std::uint16_t> close_code, JitterSample jitter) {
    if (auto refused = guard(epoch, now, false)) return *refused;
    finish_attempt(now);
    if (close_is_terminal(close_code)) return die(DeadReason::Classified);
    return record_disconnect_and_maybe_trip(now, std::nullopt, jitter);
}

SessionOutcome Session::on_upgrade_rejected(std::uint64_t epoch, Elapsed now, std::uint16_t status,
                                            std::optional<Duration> retry_after, JitterSample jitter) {
    if (auto refused = guard(epoch, now, false)) return *refused;
    finish_attempt(now);
    if (upgrade_is_terminal(status)) return die(DeadReason::Classified);
    return record_disconnect_and_maybe_trip(now, retry_range(retry_after), jitter);
}

SessionOutcome Session::on_supersede(Elapsed now, bool retryable, std::optional<Duration> retry_after,
                                     JitterSample jitter) {
    if (state_ == SessionState::Dead) return dead_outcome();
    if (attempt_started_at_ && *attempt_started_at_ > now) return stale(StaleReason::SupersedePredatesEpoch);
    last_event_at_ = last_event_at_ ? std::max(*last_event_at_, now) : now;
    epoch_.reset();
    attempt_started_at_.reset();
    if (!retryable) return die(DeadReason::Classified);
    return record_disconnect_and_maybe_trip(now, retry_range(retry_after), jitter);
}

void Session::end() noexcept {
    if (state_ != SessionState::Dead) dead_reason_.reset();
    state_ = SessionState::Dead;
    epoch_.reset();
    attempt_started_at_.reset();
}

namespace {
std::optional<DelayRange> merge(const std::optional<DelayRange>& a, const std::optional<DelayRange>& b) {
    if (!a) return b;
    if (!b) return a;
    return DelayRange{std::max(a->first, b->first), std::max(a->second, b->second)};
}
}  // namespace

SessionOutcome Session::record_disconnect_and_maybe_trip(Elapsed now, std::optional<DelayRange> incoming,
                                                         JitterSample jitter) {
    const SessionState entry = state_;
    bool rapid = true;
    if (up_since_) {
        double uptime = now.seconds() - up_since_->seconds();
        if (uptime >= policy_.stable_reset.as_secs_f64()) failures_ = 0;
        up_since_.reset();
        rapid = uptime < policy_.rapid_disconnect_uptime.as_secs_f64();
    }
    std::optional<DelayRange> ladder;
    if (rapid) {
        const double window = policy_.rapid_window.as_secs_f64();
        while (!rapid_disconnects_.empty() && now.seconds() - rapid_disconnects_.front().seconds() > window)
            rapid_disconnects_.pop_front();
        rapid_disconnects_.push_back(now);
        const std::size_t count = rapid_disconnects_.size();
        if (count >= policy_.rapid_threshold) return die(DeadReason::RapidDisconnect);
        Duration floor = policy_.ladder_floor(count);
        ladder = DelayRange{floor, std::max(floor, policy_.max_delay)};
    }
    failures_ = saturating_increment(failures_);
    state_ = entry == SessionState::Connecting ? SessionState::Connecting : SessionState::Reconnecting;
    Duration delay = policy_.next_delay(failures_, jitter, merge(incoming, ladder));
    return {delay, std::nullopt, state_, std::nullopt};
}

}  // namespace qsc
