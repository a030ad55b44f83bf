// Pending chat-mediated asks by token, oldest first. Every registration gets a ticket; later
// calls present both, so a stale holder never acts on a newer ask that reused its token.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/enums.hpp"
#include "core/ordered.hpp"
#include "core/text_hash.hpp"
#include "core/runtime/ticket.hpp"

namespace qsc {

// The token generator: SplitMix64, of which a token keeps the low 32 bits as 8 hex digits.
class TokenMint {
public:
    explicit TokenMint(std::uint64_t seed) noexcept : state_(seed) {}
    std::uint64_t next() noexcept;
    std::string next_token();

private:
    std::uint64_t state_;
};

struct Registration {
    std::string token;
    std::uint64_t ticket;
};

// What a cancellation removed, each list oldest first.
struct CancelledDecisions {
    std::vector<std::string> unclaimed;
    std::vector<std::string> claimed;
};

class DecisionRegistry {
public:
    // Tests of the limits reach the counters directly.
    friend struct LimitsProbe;

    DecisionRegistry(std::optional<std::uint32_t> max_pending, std::uint64_t seed) noexcept
        : max_pending_(max_pending), mint_(seed) {}
    DecisionRegistry(DecisionRegistry&&) = default;
    DecisionRegistry(const DecisionRegistry&) = delete;
    DecisionRegistry& operator=(const DecisionRegistry&) = delete;

    std::optional<std::uint32_t> max_pending() const noexcept { return max_pending_; }
    // The ticket the next registration gets, if it gets one.
    std::uint64_t next_ticket() const noexcept { return tickets_.peek(); }

    // Nothing when the ticket counter is exhausted.
    std::optional<Registration> register_minted(std::optional<std::string_view> room_id);
    // Also nothing while the key's current ask is claimed.
    std::optional<Registration> register_keyed(std::string_view key);

    ClaimOutcome try_claim(std::string_view token, std::uint64_t ticket) noexcept;
    bool withdraw(std::string_view token, std::uint64_t ticket);
    bool forget(std::string_view token, std::uint64_t ticket);

    std::size_t unclaimed_count() const noexcept { return unclaimed_.size(); }
    std::optional<std::string_view> oldest_unclaimed() const noexcept;
    // Calls f(token) for each unclaimed ask, oldest first.
    template <class F>
    void for_each_unclaimed(F&& f) const {
        for (std::uint64_t place : unclaimed_) f(std::string_view(asks_.at(place).token));
    }
    template <class F>
    void for_each_unclaimed_in_room(std::string_view room_id, F&& f) const {
        const std::set<std::uint64_t>* room = rooms_.find(room_id);
        if (!room) return;
        for (std::uint64_t place : *room)
            if (const Decision& d = asks_.at(place); !d.claimed) f(std::string_view(d.token));
    }

    // Removes the oldest unclaimed ask once the registry holds `max_pending` asks or more.
    std::optional<std::string> evict_oldest();
    // The token evict_oldest would remove now, if any.
    std::optional<std::string_view> eviction_candidate() const noexcept {
        if (!max_pending_ || asks_.size() < *max_pending_) return std::nullopt;
        return oldest_unclaimed();
    }
    CancelledDecisions cancel_all();
    CancelledDecisions cancel_room(std::string_view room_id);

private:
    struct Decision {
        std::string token;
        std::optional<std::string_view> room_id;  // the key of its entry in rooms_
        std::uint64_t ticket;
        bool claimed = false;
        // Its places in unclaimed_ (while unclaimed) and in its room's set (while it has a room).
        std::set<std::uint64_t>::iterator unclaimed_at{}, room_at{};
    };
    // A place is the ticket of the ask's first registration: it orders asks oldest first and
    // survives re-registration of the key.
    using Asks = std::map<std::uint64_t, Decision>;

    Asks::iterator find(std::string_view token, std::uint64_t ticket) noexcept;
    void insert(std::string token, std::optional<std::string_view> room_id, std::uint64_t ticket);
    void enter_room(Decision& d, std::string_view room_id);
    void leave_room(const Decision& d);
    std::string erase(Asks::iterator it);

    std::optional<std::uint32_t> max_pending_;
    TokenMint mint_;
    Counter tickets_;
    Asks asks_;
    OrderedMap<Asks::iterator> places_;  // by token; map iterators stay valid until erased
    std::set<std::uint64_t> unclaimed_;
    OrderedMap<std::set<std::uint64_t>> rooms_;
};

}  // namespace qsc
