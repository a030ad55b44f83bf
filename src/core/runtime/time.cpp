#include "core/runtime/time.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "core/number.hpp"

namespace qsc {

std::optional<Duration> seconds_to_duration(double secs) noexcept {
    if (!(secs >= 0.0) || std::isinf(secs)) return std::nullopt;  // negative or NaN
    if (secs < 0x1p-31) return Duration{};
    if (secs >= 0x1p64) return std::nullopt;
    // secs = mantissa * 2^exp exactly, read from the bits (secs is normal here, so the leading
    // bit is implicit); 2^-31 <= secs < 2^64 keeps everything in 128 bits.
    const auto bits = std::bit_cast<std::uint64_t>(secs);
    const std::uint64_t mantissa = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    const int exp = static_cast<int>((bits >> 52) & 0x7ff) - 1075;
    if (exp >= 0) return Duration{mantissa << exp, 0};
    // A whole number of seconds needs no division of the fraction.
    if (exp > -53 && (mantissa & ((std::uint64_t{1} << -exp) - 1)) == 0) return Duration{mantissa >> -exp, 0};
    int shift = -exp;  // 1 ..= 84
    using u128 = unsigned __int128;
    u128 m = mantissa;
    std::uint64_t whole = shift >= 64 ? 0 : static_cast<std::uint64_t>(m >> shift);
    u128 rest = m & ((u128{1} << shift) - 1);
    u128 scaled = rest * 1'000'000'000u;
    u128 nanos = scaled >> shift;
    u128 remainder = scaled & ((u128{1} << shift) - 1);
    u128 half = u128{1} << (shift - 1);
    if (remainder > half || (remainder == half && (nanos & 1))) ++nanos;
    if (nanos == 1'000'000'000u) {
        if (whole == UINT64_MAX) return std::nullopt;
        ++whole;
        nanos = 0;
    }
    return Duration{whole, static_cast<std::uint32_t>(nanos)};
}

Duration duration_from_secs_f64(double secs, Duration fallback) noexcept {
    return seconds_to_duration(secs).value_or(fallback);
}

Result<Elapsed> Elapsed::from_seconds(double seconds, TraceContext trace) {
    if (auto elapsed = checked(seconds)) return *elapsed;
    return CoreError(Issue{"seconds", IssueCode::InvalidValue,
                           "elapsed seconds must be finite and non-negative"},
                     trace);
}

Result<JitterSample> JitterSample::make(double value, TraceContext trace) {
    if (auto jitter = checked(value)) return *jitter;
    return CoreError(Issue{"jitter_sample", IssueCode::InvalidValue,
                           "jitter sample must be finite and between 0 and 1"},
                     trace);
}

Result<SessionPolicy> SessionPolicy::make(const SessionPolicy& f, TraceContext trace) {
    std::vector<Issue> issues;
    auto fail = [&](const char* path, std::string message) {
        issues.push_back(Issue{path, IssueCode::InvalidValue, std::move(message)});
    };
    if (!std::isfinite(f.factor) || f.factor < 1.0)
        fail("factor", "factor must be a finite number >= 1.0, got " + format_number(f.factor));
    if (f.max_delay < f.base_delay) fail("base_delay", "base_delay must not exceed max_delay");
    if (f.rapid_threshold == 0) fail("rapid_threshold", "rapid_threshold must be at least 1");
    if (f.heartbeat_interval.is_zero())
        fail("heartbeat_interval", "heartbeat_interval must be greater than zero");
    if (!(f.heartbeat_interval < f.dead_threshold))
        fail("dead_threshold", "dead_threshold must exceed heartbeat_interval");
    if (!issues.empty()) return CoreError(std::move(issues), trace);
    return f;
}

SessionPolicy SessionPolicy::defaults() {
    SessionPolicy p;
    p.base_delay = Duration::from_secs(1);
    p.max_delay = Duration::from_secs(30);
    p.stable_reset = Duration::from_secs(60);
    p.rapid_disconnect_uptime = Duration::from_secs(10);
    p.rapid_window = Duration::from_secs(300);
    p.rapid_first_min_delay = Duration::from_secs(1);
    p.rapid_second_min_delay = Duration::from_secs(5);
    p.rapid_cooldown_base = Duration::from_secs(10);
    p.rapid_cooldown_step = Duration::from_secs(10);
    p.rapid_cooldown_max = Duration::from_secs(60);
    p.heartbeat_interval = Duration::from_secs(30);
    p.dead_threshold = Duration::from_secs(60);
    p.factor = 2.0;
    p.rapid_threshold = 10;
    QSC_ASSERT(make(p).ok(), "recommended default must be valid");
    return p;
}

namespace {
// factor^n by repeated squaring: this routine, not pow(), fixes the rounding.
double int_power(double factor, std::uint32_t n) noexcept {
    double r = 1.0;
    double a = factor;
    for (;;) {
        if (n & 1u) r *= a;
        n >>= 1;
        if (n == 0) return r;
        a *= a;
    }
}
}  // namespace

Duration SessionPolicy::next_delay(std::uint32_t attempt, JitterSample jitter,
                                   const std::optional<DelayRange>& range) const noexcept {
    std::uint32_t n = attempt == 0 ? 0 : attempt - 1;
    n = std::min<std::uint32_t>(n, 2147483647u);
    double raw = base_delay.as_secs_f64() * int_power(factor, n);
    double cap = max_delay.as_secs_f64();
    double capped = std::isnan(raw) ? cap : std::min(raw, cap);
    double d = capped * jitter.value();
    if (range) {
        double low = range->first.as_secs_f64();
        double high = range->second.as_secs_f64();
        d = std::max(low, std::min(d, std::max(high, low)));
    }
    return duration_from_secs_f64(d, max_delay);
}

Duration SessionPolicy::ladder_floor(std::size_t count) const noexcept {
    if (count <= 1) return rapid_first_min_delay;
    if (count == 2) return rapid_second_min_delay;
    double steps = static_cast<double>(count - 3);
    double secs = std::min(rapid_cooldown_base.as_secs_f64() + rapid_cooldown_step.as_secs_f64() * steps,
                           rapid_cooldown_max.as_secs_f64());
    return duration_from_secs_f64(secs, rapid_cooldown_max);
}

}  // namespace qsc
