// Pending chat-mediated asks by token, oldest first. Every registration gets a ticket; later
// calls present both, so a stale holder never acts on a newer ask that reused its token.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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

// `token` views the registry's own copy, valid until the registry next changes.
struct Registration {
    std::string_view token;
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

    std::size_t unclaimed_count() const noexcept { return unclaimed_.size; }
    std::optional<std::string_view> oldest_unclaimed() const noexcept;
    // Calls f(token) for each unclaimed ask, oldest first.
    template <class F>
    void for_each_unclaimed(F&& f) const {
        for (const Decision* d = unclaimed_.head; d; d = d->unclaimed_links.next) f(std::string_view(d->token));
    }
    template <class F>
    void for_each_unclaimed_in_room(std::string_view room_id, F&& f) const {
        const AskList* room = rooms_.find(room_id);
        if (!room) return;
        for (const Decision* d = room->head; d; d = d->room_links.next)
            if (!d->claimed) f(std::string_view(d->token));
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
    struct Decision;
    // An ask's neighbours in one list.
    struct Links {
        Decision* prev = nullptr;
        Decision* next = nullptr;
    };
    // Asks oldest first, linked through their own records: an ask joins a list only when it is
    // registered (as the newest), so appending keeps the order and nothing is allocated for it.
    struct AskList {
        Decision* head = nullptr;
        Decision* tail = nullptr;
        std::size_t size = 0;

        AskList() noexcept = default;
        // A moved-from list is empty: the asks belong to the registry they moved to.
        AskList(AskList&& other) noexcept
            : head(std::exchange(other.head, nullptr)), tail(std::exchange(other.tail, nullptr)),
              size(std::exchange(other.size, 0)) {}
        AskList& operator=(AskList&& other) noexcept {
            head = std::exchange(other.head, nullptr);
            tail = std::exchange(other.tail, nullptr);
            size = std::exchange(other.size, 0);
            return *this;
        }
        void push_back(Decision* d, Links Decision::*links) noexcept;
        void unlink(Decision* d, Links Decision::*links) noexcept;
    };
    struct Decision {
        std::string token;
        std::uint64_t token_hash = 0;
        std::uint64_t place = 0;  // its key in asks_
        std::uint64_t ticket = 0;
        std::optional<std::string_view> room_id;  // the key of its entry in rooms_
        std::uint64_t room_hash = 0;
        bool claimed = false;
        Links unclaimed_links;  // while unclaimed
        Links room_links;       // while it has a room
    };
    // A place is the ticket of the ask's first registration: it orders asks oldest first and
    // survives re-registration of the key.
    using Asks = std::map<std::uint64_t, Decision>;

    Asks::iterator find(const HashedText& token, std::uint64_t ticket) noexcept;
    Decision& insert(std::string token, std::uint64_t token_hash, std::optional<std::string_view> room_id,
                     std::uint64_t ticket);
    void enter_room(Decision& d, std::string_view room_id);
    void leave_room(Decision& d) noexcept;
    std::string erase(Asks::iterator it) noexcept;

    std::optional<std::uint32_t> max_pending_;
    TokenMint mint_;
    Counter tickets_;
    Asks asks_;  // map nodes stay put until erased, so the lists may point into them
    OrderedMap<Asks::iterator> places_;  // by token
    AskList unclaimed_;
    OrderedMap<AskList> rooms_;
};

}  // namespace qsc
