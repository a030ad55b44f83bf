#include "core/runtime/claims.hpp"

#include "core/number.hpp"

namespace qsc {

namespace {

CoreError settlement_error(TraceContext trace) {
    return CoreError(Issue{"error", IssueCode::InvalidValue, "the message already has a different pending terminal intent"},
                     trace);
}

CoreError token_exhausted(TraceContext trace) {
    return CoreError(Issue{"token", IssueCode::InvalidValue, "terminal obligation token capacity exhausted"}, trace);
}

bool same_intent(const std::optional<std::string>& stored, std::optional<std::string_view> requested) noexcept {
    if (!stored || !requested) return !stored && !requested;
    return *stored == *requested;
}

Result<Settlement> snapshot(const PendingEntry& entry, TraceContext trace) {
    if (!entry.token) return token_exhausted(trace);
    std::optional<std::string_view> error;
    if (entry.error) error = *entry.error;
    return Settlement{*entry.token, error, entry.parked, entry.continuation};
}

}  // namespace

// Read digit by digit instead of printing the token to compare: a leading zero, any byte but a
// digit, or a number beyond 64 bits refuses.
bool PendingEntry::matches_token(std::string_view text) const noexcept {
    if (!token || text.empty() || text.size() > 20 || (text[0] == '0' && text.size() > 1)) return false;
    std::uint64_t value = 0;
    for (const char c : text) {
        const auto digit = static_cast<unsigned>(c - '0');
        if (digit > 9 || __builtin_mul_overflow(value, 10u, &value) || __builtin_add_overflow(value, digit, &value))
            return false;
    }
    return value == *token;
}

void ClaimRegistry::Room::park(PendingEntry& entry, ParkedReason reason) noexcept {
    if (!entry.parked) ++parked;
    entry.parked = reason;
}

void ClaimRegistry::Room::forget_settlement(const HashedText& message_id, const PendingEntry* entry) noexcept {
    if (entry) {
        if (entry->parked) --parked;
        pending.erase(message_id);
    }
    if (!ack_retries.empty()) ack_retries.erase(message_id);
}

ClaimRegistry::ClaimRegistry(std::size_t max_completed) noexcept : max_completed_(max_completed ? max_completed : 1) {}

ClaimRegistry::Room* ClaimRegistry::find_room(const HashedText& room_id) noexcept {
    return rooms_.find(room_id);
}

const ClaimRegistry::Room* ClaimRegistry::find_room(const HashedText& room_id) const noexcept {
    return rooms_.find(room_id);
}

ClaimRegistry::Room& ClaimRegistry::room(const HashedText& room_id) {
    if (Room* found = find_room(room_id)) return *found;
    return *rooms_.emplace_back(room_id).first;
}

void ClaimRegistry::prune(const HashedText& room_id) noexcept {
    const Room* r = find_room(room_id);
    if (r && r->empty()) rooms_.erase(room_id);
}

PendingEntry* ClaimRegistry::find_pending(const HashedText& room_id, const HashedText& message_id) noexcept {
    Room* r = find_room(room_id);
    return r ? r->pending.find(message_id) : nullptr;
}

PendingEntry* ClaimRegistry::find_pending(const HashedText& room_id, const HashedText& message_id,
                                          std::string_view token) noexcept {
    PendingEntry* entry = find_pending(room_id, message_id);
    return entry && entry->matches_token(token) ? entry : nullptr;
}

// ---- claims

bool ClaimRegistry::try_claim(const HashedText& room_id, const HashedText& message_id) {
    return room(room_id).in_flight.insert(message_id);
}

void ClaimRegistry::release(const HashedText& room_id, const HashedText& message_id) noexcept {
    Room* r = find_room(room_id);
    if (!r || !r->in_flight.erase(message_id)) return;
    if (r->empty()) rooms_.erase(room_id);
}

DeliveryEligibility ClaimRegistry::delivery_eligibility(const HashedText& room_id, const HashedText& message_id,
                                                        const RetryTracker& tracker, DeliveryFacts facts) noexcept {
    Room* r = facts.self_echo ? nullptr : find_room(room_id);
    const DeliveryEligibility verdict = eligibility_in(r, message_id, tracker, facts);
    if (verdict == DeliveryEligibility::Runnable && r && r->in_flight.contains(message_id))
        return DeliveryEligibility::InFlight;
    return verdict;
}

// Every verdict but in flight, which the caller tells by a probe or by the claim itself.
DeliveryEligibility ClaimRegistry::eligibility_in(Room* r, const HashedText& message_id, const RetryTracker& tracker,
                                                  DeliveryFacts facts) noexcept {
    using enum DeliveryEligibility;
    if (facts.self_echo) return Self;
    if (r && r->pending.contains(message_id)) return Pending;
    const bool completed = r && r->completed.move_to_back(message_id);
    if (completed || facts.durably_processed) return Completed;
    if (tracker.is_permanently_failed(message_id)) return Exhausted;
    if (facts.durably_failed && !facts.allow_failed_retry) return Failed;
    return Runnable;
}

DeliveryEligibility ClaimRegistry::guarded_claim(const HashedText& room_id, const HashedText& message_id,
                                                 const RetryTracker& tracker, DeliveryFacts facts) {
    // The room is looked up once for the verdict and the claim.
    Room* r = facts.self_echo ? nullptr : find_room(room_id);
    const DeliveryEligibility verdict = eligibility_in(r, message_id, tracker, facts);
    if (verdict != DeliveryEligibility::Runnable) return verdict;
    // A claim already held is the in-flight verdict, and the failed insertion changed nothing.
    return (r ? *r : room(room_id)).in_flight.insert(message_id) ? verdict : DeliveryEligibility::InFlight;
}

const InFlightIds* ClaimRegistry::inflight_ids(const HashedText& room_id) const noexcept {
    const Room* r = find_room(room_id);
    return r ? &r->in_flight : nullptr;
}

// ---- pending outcomes and settlements

PendingEntry& ClaimRegistry::insert_pending(const HashedText& room_id, const HashedText& message_id,
                                           std::optional<std::string_view> error,
                                           SettlementContinuation continuation) {
    PendingEntry fresh;
    if (error) fresh.error.emplace(*error);
    fresh.continuation = continuation;
    PendingEntry& entry = *room(room_id).pending.emplace_back(message_id, std::move(fresh)).first;
    // Drawn once the entry is in, so a failed insertion spends no token.
    entry.token = tokens_.next();
    return entry;
}

void ClaimRegistry::remember_ack_pending(const HashedText& room_id, const HashedText& message_id) {
    if (!find_pending(room_id, message_id)) insert_pending(room_id, message_id, std::nullopt, {});
}

std::optional<CoreError> ClaimRegistry::remember_failed_ack_pending(const HashedText& room_id,
                                                                    const HashedText& message_id,
                                                                    std::string_view error, TraceContext trace) {
    const PendingEntry* entry = find_pending(room_id, message_id);
    if (!entry) insert_pending(room_id, message_id, error, {});
    else if (!same_intent(entry->error, error)) return settlement_error(trace);
    return std::nullopt;
}

Result<PlannedSettlement> ClaimRegistry::plan_settlement(const HashedText& room_id, const HashedText& message_id,
                                                         std::optional<std::string_view> error,
                                                         SettlementContinuation continuation, TraceContext trace) {
    if (const PendingEntry* entry = find_pending(room_id, message_id)) {
        if (!same_intent(entry->error, error)) return settlement_error(trace);
        auto existing = snapshot(*entry, trace);
        if (!existing) return std::move(existing.error());
        return PlannedSettlement{*existing, false};
    }
    if (tokens_.exhausted()) return token_exhausted(trace);
    return PlannedSettlement{Settlement{tokens_.peek(), error, std::nullopt, continuation}, true};
}

void ClaimRegistry::store_settlement(const HashedText& room_id, const HashedText& message_id,
                                     std::optional<std::string_view> error, SettlementContinuation continuation) {
    insert_pending(room_id, message_id, error, continuation);
}

SettlementContinuation ClaimRegistry::failed_continuation(const HashedText& message_id, const RetryTracker& tracker,
                                                          bool allow_retry) noexcept {
    const AttemptState state = tracker.attempt_state(message_id);
    if (allow_retry && state.attempts < state.limit) return {true, state.attempts, state.limit};
    return {};
}

Result<std::optional<Settlement>> ClaimRegistry::pending_settlement(const HashedText& room_id,
                                                                    const HashedText& message_id,
                                                                    TraceContext trace) const {
    const Room* r = find_room(room_id);
    const PendingEntry* entry = r ? r->pending.find(message_id) : nullptr;
    if (!entry) return std::optional<Settlement>();
    Result<Settlement> view = snapshot(*entry, trace);
    if (!view) return std::move(view.error());
    return std::optional<Settlement>(*view);
}

void ClaimRegistry::forget_settlement(const HashedText& room_id, const HashedText& message_id) noexcept {
    Room* r = find_room(room_id);
    if (r) r->forget_settlement(message_id, r->pending.find(message_id));
}

bool ClaimRegistry::confirm_settlement(const HashedText& room_id, const HashedText& message_id,
                                       std::string_view token, RetryTracker& tracker) {
    // The room and the entry are looked up once for the whole step.
    Room* r = find_room(room_id);
    const PendingEntry* entry = r ? r->pending.find(message_id) : nullptr;
    if (!entry || !entry->matches_token(token)) return false;
    const SettlementContinuation next = entry->continuation;
    if (next.retry) {
        tracker.restore_attempt(message_id, next.attempts, next.max_retries);
        r->forget_settlement(message_id, entry);
        if (r->empty()) rooms_.erase(room_id);
        return true;
    }
    // The completed id goes in first and is taken back when the tracker runs out of memory, so
    // that neither object changes then; its place at the back and the eviction follow.
    CompletedIds& completed = r->completed;
    const bool newly_completed = completed.insert(message_id);
    try {
        if (entry->error) tracker.mark_permanently_failed(message_id);
    } catch (...) {
        if (newly_completed) completed.erase(message_id);
        throw;
    }
    tracker.mark_success(message_id);
    if (!newly_completed) completed.move_to_back(message_id);
    completed.trim_front(max_completed_);
    r->forget_settlement(message_id, entry);
    return true;
}

bool ClaimRegistry::park_settlement(const HashedText& room_id, const HashedText& message_id, std::string_view token,
                                    ParkedReason reason) noexcept {
    PendingEntry* entry = find_pending(room_id, message_id, token);
    if (!entry) return false;
    find_room(room_id)->park(*entry, reason);
    return true;
}

bool ClaimRegistry::park_ack(const HashedText& room_id, const HashedText& message_id, ParkedReason reason) noexcept {
    Room* r = find_room(room_id);
    PendingEntry* entry = r ? r->pending.find(message_id) : nullptr;
    if (!entry) return false;
    r->park(*entry, reason);
    return true;
}

std::size_t ClaimRegistry::unpark_acks(const HashedText& room_id) noexcept {
    Room* r = find_room(room_id);
    if (!r || r->parked == 0) return 0;
    for (auto [id, entry] : r->pending) entry.parked.reset();
    return std::exchange(r->parked, 0);
}

bool ClaimRegistry::has_retryable_settlement(const HashedText& room_id) const noexcept {
    const Room* r = find_room(room_id);
    return r && r->pending.size() > r->parked;
}

const PendingEntry* ClaimRegistry::pending_ack(const HashedText& room_id, const HashedText& message_id) const noexcept {
    const Room* r = find_room(room_id);
    return r ? r->pending.find(message_id) : nullptr;
}

const PendingEntries* ClaimRegistry::pending_entries(const HashedText& room_id) const noexcept {
    const Room* r = find_room(room_id);
    return r ? &r->pending : nullptr;
}

std::uint32_t ClaimRegistry::record_ack_retry(const HashedText& room_id, const HashedText& message_id) {
    std::uint32_t& retries = *room(room_id).ack_retries.emplace_back(message_id, 0u).first;
    retries = saturating_increment(retries);
    return retries;
}

// ---- completed messages

void ClaimRegistry::remember_completed(const HashedText& room_id, const HashedText& message_id) {
    Room& r = room(room_id);
    r.completed.touch_back(message_id);
    r.completed.trim_front(max_completed_);
    forget_settlement(room_id, message_id);
}

bool ClaimRegistry::is_completed(const HashedText& room_id, const HashedText& message_id) noexcept {
    Room* r = find_room(room_id);
    return r && r->completed.move_to_back(message_id);
}

const CompletedIds* ClaimRegistry::completed_ids(const HashedText& room_id) const noexcept {
    const Room* r = find_room(room_id);
    return r ? &r->completed : nullptr;
}

void ClaimRegistry::discard_completed(const HashedText& room_id) noexcept {
    Room* r = find_room(room_id);
    if (!r) return;
    r->completed.clear();
    prune(room_id);
}

}  // namespace qsc
