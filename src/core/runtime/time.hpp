// Time values and the reconnect policy: durations, validated seconds, back-off with jitter.
#pragma once

#include <cmath>
#include <compare>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/error.hpp"

namespace qsc {

struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;  // always below 1e9

    static constexpr Duration from_secs(std::uint64_t s) noexcept { return {s, 0}; }
    static constexpr Duration max() noexcept { return {UINT64_MAX, 999'999'999u}; }
    double as_secs_f64() const noexcept {
        return static_cast<double>(secs) + static_cast<double>(nanos) / 1e9;
    }
    bool is_zero() const noexcept { return secs == 0 && nanos == 0; }
    friend constexpr auto operator<=>(const Duration&, const Duration&) = default;
};

// Float seconds rounded to the nearest nanosecond (ties to even); below 2^-31 s is zero.
// Nothing for negative, NaN, infinite, or at least 2^64 seconds.
std::optional<Duration> seconds_to_duration(double secs) noexcept;

// The rule above with a fallback for values it cannot represent.
Duration duration_from_secs_f64(double secs, Duration fallback) noexcept;

// A delay range (low, high) that overrides jitter and cap.
using DelayRange = std::pair<Duration, Duration>;

class Elapsed {
public:
    Elapsed() noexcept = default;
    static Result<Elapsed> from_seconds(double seconds, TraceContext trace = std::nullopt);
    // The same check without building the error.
    static std::optional<Elapsed> checked(double seconds) noexcept {
        if (std::isfinite(seconds) && seconds >= 0.0) return Elapsed(seconds);
        return std::nullopt;
    }
    double seconds() const noexcept { return s_; }
    friend constexpr auto operator<=>(const Elapsed&, const Elapsed&) = default;

private:
    explicit Elapsed(double s) noexcept : s_(s) {}
    double s_ = 0.0;
};

class JitterSample {
public:
    JitterSample() noexcept = default;
    static Result<JitterSample> make(double value, TraceContext trace = std::nullopt);
    // The same check without building the error.
    static std::optional<JitterSample> checked(double value) noexcept {
        if (value >= 0.0 && value <= 1.0) return JitterSample(value);
        return std::nullopt;
    }
    double value() const noexcept { return v_; }

private:
    explicit JitterSample(double v) noexcept : v_(v) {}
    double v_ = 0.0;
};

struct SessionPolicy {
    Duration base_delay;
    Duration max_delay;
    Duration stable_reset;
    Duration rapid_disconnect_uptime;
    Duration rapid_window;
    Duration rapid_first_min_delay;
    Duration rapid_second_min_delay;
    Duration rapid_cooldown_base;
    Duration rapid_cooldown_step;
    Duration rapid_cooldown_max;
    Duration heartbeat_interval;
    Duration dead_threshold;
    double factor = 2.0;
    std::uint32_t rapid_threshold = 10;

    // Checks the five invariants; every broken one is an issue.
    static Result<SessionPolicy> make(const SessionPolicy& fields, TraceContext trace = std::nullopt);
    // A recommended, not final, default.
    static SessionPolicy defaults();

    Duration next_delay(std::uint32_t attempt, JitterSample jitter,
                        const std::optional<DelayRange>& range) const noexcept;
    // Minimum delay after the count-th rapid disconnect inside the window (count >= 1).
    Duration ladder_floor(std::size_t count) const noexcept;
};

inline constexpr std::uint16_t kNormalClosure = 1000;
constexpr bool close_is_terminal(std::optional<std::uint16_t> code) noexcept {
    return code && *code == kNormalClosure;
}
constexpr bool upgrade_is_terminal(std::uint16_t status) noexcept {
    return status == 400 || status == 403 || status == 409;
}

}  // namespace qsc
