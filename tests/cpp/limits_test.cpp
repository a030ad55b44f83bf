// Behaviour at the limits Python cannot reach quickly: every counter at 2^64 - 1 hands out
// nothing more and changes nothing; counts saturate at 2^32 - 1.
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string_view>
#include <vector>

#include "core/runtime/claims.hpp"
#include "core/runtime/decisions.hpp"
#include "core/runtime/retry.hpp"
#include "core/runtime/room_roster.hpp"
#include "core/runtime/session.hpp"
#include "core/runtime/subscription.hpp"

#include "check.hpp"

namespace qsc {

struct LimitsProbe {
    static constexpr std::uint64_t kLast = std::numeric_limits<std::uint64_t>::max();
    template <class T>
    static void near_the_end(T& object) { counter(object) = Counter(kLast - 1); }
    static Counter& counter(Session& s) { return s.epochs_; }
    static Counter& counter(ClaimRegistry& r) { return r.tokens_; }
    static Counter& counter(DecisionRegistry& r) { return r.tickets_; }
    static Counter& counter(RoomRoster& r) { return r.tickets_; }
    static Counter& counter(SubscriptionTracker& t) { return t.tickets_; }
    static std::uint32_t& failures(Session& s) { return s.failures_; }
};

}  // namespace qsc

namespace {

using qsc::LimitsProbe;
constexpr std::uint64_t kLast = LimitsProbe::kLast;
constexpr std::uint32_t kMaxCount = std::numeric_limits<std::uint32_t>::max();

void session_epochs() {
    qsc::Session session(qsc::SessionPolicy::defaults());
    LimitsProbe::near_the_end(session);
    const auto now = *qsc::Elapsed::from_seconds(1.0);
    CHECK(session.begin_attempt(now) == kLast - 1);
    CHECK(!session.begin_attempt(now));  // used up: nothing more, and the attempt in flight stays
    CHECK(session.on_connected(kLast - 1, now).state == qsc::SessionState::Up);
}

void session_failures_saturate() {
    qsc::Session session(qsc::SessionPolicy::defaults());
    LimitsProbe::failures(session) = kMaxCount;
    const auto now = *qsc::Elapsed::from_seconds(1000.0);
    const auto epoch = session.begin_attempt(now);
    session.on_connected(*epoch, now);
    const auto later = *qsc::Elapsed::from_seconds(1030.0);  // up 30 s: neither rapid nor stable
    const auto outcome = session.on_socket_close(*epoch, later, std::nullopt, *qsc::JitterSample::make(1.0));
    CHECK(LimitsProbe::failures(session) == kMaxCount);
    CHECK(outcome.delay && *outcome.delay == qsc::Duration::from_secs(30));  // capped, not wrapped to 1 s
}

void claim_tokens() {
    qsc::ClaimRegistry claims(500);
    LimitsProbe::near_the_end(claims);
    auto first = claims.plan_settlement("r", "m1", std::nullopt, {}, std::nullopt);
    CHECK(first.ok() && first->fresh && first->settlement.token == kLast - 1);
    claims.store_settlement("r", "m1", std::nullopt, {});
    auto second = claims.plan_settlement("r", "m2", std::nullopt, {}, std::nullopt);
    CHECK(!second.ok());  // exhaustion is reported, nothing stored
    CHECK(!second.ok() && second.error().issues.size() == 1);
    auto again = claims.plan_settlement("r", "m1", std::nullopt, {}, std::nullopt);
    CHECK(again.ok() && !again->fresh && again->settlement.token == kLast - 1);
}

void decision_tickets() {
    qsc::DecisionRegistry asks(std::nullopt, 0);
    LimitsProbe::near_the_end(asks);
    auto minted = asks.register_minted(std::nullopt);
    CHECK(minted && minted->ticket == kLast - 1);
    CHECK(!asks.register_minted(std::nullopt));
    CHECK(!asks.register_keyed("k"));
    CHECK(asks.unclaimed_count() == 1);
}

void roster_tickets() {
    qsc::RoomRoster roster;
    LimitsProbe::near_the_end(roster);
    CHECK(roster.begin_room_admission("a", true) == kLast - 1);
    CHECK(!roster.begin_room_admission("b", true));
    const std::vector<std::string_view> rooms{"c", "d"};
    const auto plan = roster.reconcile(rooms);
    CHECK(plan.admitting.empty());  // no tickets left: no room is admitted
}

void tracker_tickets() {
    qsc::SubscriptionTracker tracker;
    LimitsProbe::near_the_end(tracker);
    CHECK(tracker.begin_room_subscribe("r") == kLast - 1);
    CHECK(!tracker.begin_agent_topic_join("agent_control:a"));
    CHECK(!tracker.begin_room_subscribe("s"));
}

void retry_counts_saturate() {
    qsc::RetryTracker retries(3, 10000);
    retries.restore_attempt("m", kMaxCount, kMaxCount);
    const auto attempt = retries.record_attempt("m");
    CHECK(attempt.attempts == kMaxCount);
    CHECK(retries.attempt_state("m").attempts == kMaxCount);
}

}  // namespace

int main() {
    session_epochs();
    session_failures_saturate();
    claim_tokens();
    decision_tickets();
    roster_tickets();
    tracker_tickets();
    retry_counts_saturate();
    return check::finish();
}
