// The ownership ledger of inbound delivery: per (room, message) whether a claim is held, whether
// a turn's outcome awaits its durable write (with the token that confirms it), and whether the
// message is done. Records are grouped by room, so room-wide queries read only that room.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/enums.hpp"
#include "core/error.hpp"
#include "core/id_set.hpp"
#include "core/ordered.hpp"
#include "core/runtime/retry.hpp"
#include "core/runtime/ticket.hpp"

namespace qsc {

struct DeliveryFacts {
    bool self_echo = false;
    bool durably_processed = false;
    bool durably_failed = false;
    bool allow_failed_retry = true;
};


// What follows a confirmed write: finished, or another run of a failed turn within its budget.
struct SettlementContinuation {
    bool retry = false;
    std::uint32_t attempts = 0;
    std::uint32_t max_retries = 0;
};

// A stored outcome. No error means the processed intent.
struct PendingEntry {
    std::optional<std::uint64_t> token;  // absent only when tokens ran out
    std::optional<std::string> error;
    std::optional<ParkedReason> parked;
    SettlementContinuation continuation;

    // Exact decimal text of the token: no sign, blanks or leading zeros.
    bool matches_token(std::string_view text) const noexcept;
};

// The settlement view of an entry; `error` points into the entry.
struct Settlement {
    std::uint64_t token;
    std::optional<std::string_view> error;
    std::optional<ParkedReason> parked;
    SettlementContinuation continuation;
};

// What recording a settlement answers; `fresh` when it stores a new entry.
struct PlannedSettlement {
    Settlement settlement;
    bool fresh = false;
};

using PendingEntries = OrderedMap<PendingEntry>;
using CompletedIds = IdSet;
using InFlightIds = IdSet;

class ClaimRegistry {
public:
    // Tests of the limits reach the counters directly.
    friend struct LimitsProbe;

    // A `max_completed` of 0 is taken as 1.
    explicit ClaimRegistry(std::size_t max_completed) noexcept;

    std::size_t max_completed() const noexcept { return max_completed_; }

    bool try_claim(const HashedText& room_id, const HashedText& message_id);
    void release(const HashedText& room_id, const HashedText& message_id) noexcept;
    // Refreshes a completed id it finds, like `is_completed`.
    DeliveryEligibility delivery_eligibility(const HashedText& room_id, const HashedText& message_id,
                                             const RetryTracker& tracker, DeliveryFacts facts) noexcept;
    DeliveryEligibility guarded_claim(const HashedText& room_id, const HashedText& message_id,
                                      const RetryTracker& tracker, DeliveryFacts facts);
    const InFlightIds* inflight_ids(const HashedText& room_id) const noexcept;

    void remember_ack_pending(const HashedText& room_id, const HashedText& message_id);
    [[nodiscard]] std::optional<CoreError> remember_failed_ack_pending(const HashedText& room_id,
                                                                       const HashedText& message_id,
                                                                       std::string_view error, TraceContext trace);
    // Recording a settlement is planned, answered, then stored, so that an answer the host
    // cannot be given changes nothing. No error means the processed intent.
    static SettlementContinuation failed_continuation(const HashedText& message_id, const RetryTracker& tracker,
                                                      bool allow_retry) noexcept;
    Result<PlannedSettlement> plan_settlement(const HashedText& room_id, const HashedText& message_id,
                                              std::optional<std::string_view> error,
                                              SettlementContinuation continuation, TraceContext trace);
    // Stores a fresh plan made with the same arguments.
    void store_settlement(const HashedText& room_id, const HashedText& message_id,
                          std::optional<std::string_view> error, SettlementContinuation continuation);
    Result<std::optional<Settlement>> pending_settlement(const HashedText& room_id, const HashedText& message_id,
                                                         TraceContext trace) const;
    bool confirm_settlement(const HashedText& room_id, const HashedText& message_id, std::string_view token,
                            RetryTracker& tracker);
    bool park_settlement(const HashedText& room_id, const HashedText& message_id, std::string_view token,
                         ParkedReason reason) noexcept;
    bool park_ack(const HashedText& room_id, const HashedText& message_id, ParkedReason reason) noexcept;
    std::size_t unpark_acks(const HashedText& room_id) noexcept;
    bool has_retryable_settlement(const HashedText& room_id) const noexcept;
    bool is_ack_pending(const HashedText& room_id, const HashedText& message_id) const noexcept {
        return pending_ack(room_id, message_id) != nullptr;
    }
    const PendingEntry* pending_ack(const HashedText& room_id, const HashedText& message_id) const noexcept;
    // Oldest first.
    const PendingEntries* pending_entries(const HashedText& room_id) const noexcept;
    std::uint32_t record_ack_retry(const HashedText& room_id, const HashedText& message_id);

    void remember_completed(const HashedText& room_id, const HashedText& message_id);
    // A hit moves the id to the back, so ids still being asked about outlive idle ones.
    bool is_completed(const HashedText& room_id, const HashedText& message_id) noexcept;
    // Least recently completed or looked up first.
    const CompletedIds* completed_ids(const HashedText& room_id) const noexcept;
    void discard_completed(const HashedText& room_id) noexcept;

private:
    struct Room {
        InFlightIds in_flight;
        PendingEntries pending;
        std::size_t parked = 0;  // pending entries with a reason set
        OrderedMap<std::uint32_t> ack_retries;
        CompletedIds completed;

        bool empty() const noexcept {
            return in_flight.empty() && pending.empty() && ack_retries.empty() && completed.empty();
        }
        void park(PendingEntry& entry, ParkedReason reason) noexcept;
        // Forgets a message's settlement: its pending entry (`entry`, found already; null when
        // there is none) and its ack retry count.
        void forget_settlement(const HashedText& message_id, const PendingEntry* entry) noexcept;
    };

    DeliveryEligibility eligibility_in(Room* r, const HashedText& message_id, const RetryTracker& tracker,
                                       DeliveryFacts facts) noexcept;
    Room* find_room(const HashedText& room_id) noexcept;
    const Room* find_room(const HashedText& room_id) const noexcept;
    Room& room(const HashedText& room_id);
    // Forgets a room that holds nothing any more.
    void prune(const HashedText& room_id) noexcept;
    PendingEntry* find_pending(const HashedText& room_id, const HashedText& message_id) noexcept;
    PendingEntry* find_pending(const HashedText& room_id, const HashedText& message_id, std::string_view token) noexcept;

    // A new entry at the back with the next token (none once tokens ran out).
    PendingEntry& insert_pending(const HashedText& room_id, const HashedText& message_id,
                                 std::optional<std::string_view> error, SettlementContinuation continuation);
    void forget_settlement(const HashedText& room_id, const HashedText& message_id) noexcept;

    OrderedMap<Room> rooms_;
    std::size_t max_completed_;
    Counter tokens_;
};

}  // namespace qsc
