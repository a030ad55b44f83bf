#include "core/runtime/decisions.hpp"

#include <utility>

#include "core/error.hpp"

namespace qsc {

std::uint64_t TokenMint::next() noexcept {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::string TokenMint::next_token() {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto low = static_cast<std::uint32_t>(next());
    std::string token(8, '0');
    for (int i = 0; i < 8; ++i) token[7 - i] = kHex[(low >> (4 * i)) & 0xF];
    return token;
}

// A registration that runs out of memory changes nothing: the mint and the ticket counter move
// on only once the ask is in.
std::optional<Registration> DecisionRegistry::register_minted(std::optional<std::string_view> room_id) {
    if (tickets_.exhausted()) return std::nullopt;
    TokenMint mint = mint_;
    std::string token = mint.next_token();
    while (places_.contains(token)) token = mint.next_token();
    const std::uint64_t ticket = tickets_.peek();
    insert(token, room_id, ticket);
    mint_ = mint;
    (void)tickets_.next();
    return Registration{std::move(token), ticket};
}

std::optional<Registration> DecisionRegistry::register_keyed(std::string_view key) {
    const Asks::iterator* found = places_.find(key);
    if (found && (*found)->second.claimed) return std::nullopt;
    if (tickets_.exhausted()) return std::nullopt;
    Registration registration{std::string(key), tickets_.peek()};
    if (!found) {
        insert(std::string(key), std::nullopt, registration.ticket);
    } else {
        Decision& d = (*found)->second;
        leave_room(d);
        d.room_id.reset();
        d.ticket = registration.ticket;
    }
    (void)tickets_.next();
    return registration;
}

ClaimOutcome DecisionRegistry::try_claim(std::string_view token, std::uint64_t ticket) noexcept {
    auto it = find(token, ticket);
    if (it == asks_.end()) return ClaimOutcome::Stale;
    if (it->second.claimed) return ClaimOutcome::AlreadyClaimed;
    it->second.claimed = true;
    unclaimed_.erase(it->second.unclaimed_at);
    return ClaimOutcome::Claimed;
}

bool DecisionRegistry::withdraw(std::string_view token, std::uint64_t ticket) {
    auto it = find(token, ticket);
    if (it == asks_.end() || it->second.claimed) return false;
    erase(it);
    return true;
}

bool DecisionRegistry::forget(std::string_view token, std::uint64_t ticket) {
    auto it = find(token, ticket);
    if (it == asks_.end()) return false;
    erase(it);
    return true;
}

std::optional<std::string_view> DecisionRegistry::oldest_unclaimed() const noexcept {
    if (unclaimed_.empty()) return std::nullopt;
    return asks_.find(*unclaimed_.begin())->second.token;
}

std::optional<std::string> DecisionRegistry::evict_oldest() {
    if (!max_pending_ || asks_.size() < *max_pending_ || unclaimed_.empty()) return std::nullopt;
    return erase(asks_.find(*unclaimed_.begin()));
}

CancelledDecisions DecisionRegistry::cancel_all() {
    CancelledDecisions out;
    out.unclaimed.reserve(unclaimed_.size());
    out.claimed.reserve(asks_.size() - unclaimed_.size());
    for (auto& [place, d] : asks_) (d.claimed ? out.claimed : out.unclaimed).push_back(std::move(d.token));
    places_.clear();
    asks_.clear();
    unclaimed_.clear();
    rooms_.clear();
    return out;
}

CancelledDecisions DecisionRegistry::cancel_room(std::string_view room_id) {
    CancelledDecisions out;
    std::set<std::uint64_t>* room = rooms_.find(room_id);
    if (!room) return out;
    // Room for the answer first: nothing after it allocates.
    out.unclaimed.reserve(room->size());
    out.claimed.reserve(room->size());
    const std::set<std::uint64_t> places = std::move(*room);
    for (std::uint64_t place : places) {
        auto it = asks_.find(place);
        QSC_ASSERT(it != asks_.end(), "room index names a missing ask");
        it->second.room_id.reset();  // the room goes as a whole below
        const bool claimed = it->second.claimed;
        (claimed ? out.claimed : out.unclaimed).push_back(erase(it));
    }
    rooms_.erase(room_id);
    return out;
}

DecisionRegistry::Asks::iterator DecisionRegistry::find(std::string_view token, std::uint64_t ticket) noexcept {
    const Asks::iterator* found = places_.find(token);
    return found && (*found)->second.ticket == ticket ? *found : asks_.end();
}

void DecisionRegistry::insert(std::string token, std::optional<std::string_view> room_id, std::uint64_t ticket) {
    // The ticket is fresh, so it is also the newest place.
    const std::size_t before = asks_.size();
    auto it = asks_.emplace_hint(asks_.end(), ticket, Decision{std::move(token), std::nullopt, ticket});
    QSC_ASSERT(asks_.size() > before, "ticket reused as a place");
    Decision& d = it->second;
    bool placed = false;
    try {
        if (room_id) enter_room(d, *room_id);
        places_.emplace_back(d.token, it);
        placed = true;
        d.unclaimed_at = unclaimed_.insert(unclaimed_.end(), ticket);
    } catch (...) {
        // Out of memory part way: what went in goes again.
        if (placed) places_.erase(d.token);
        leave_room(d);
        asks_.erase(it);
        throw;
    }
}

void DecisionRegistry::enter_room(Decision& d, std::string_view room_id) {
    const HashedText room(room_id);
    const auto [places, added] = rooms_.emplace_back(room);
    try {
        d.room_at = places->insert(d.ticket).first;
    } catch (...) {
        if (added) rooms_.erase(room);
        throw;
    }
    d.room_id = rooms_.stored_key(room);
}

void DecisionRegistry::leave_room(const Decision& d) {
    if (!d.room_id) return;
    std::set<std::uint64_t>* room = rooms_.find(*d.room_id);
    if (!room) return;
    room->erase(d.room_at);
    if (room->empty()) rooms_.erase(*d.room_id);  // ends the view d.room_id
}

std::string DecisionRegistry::erase(Asks::iterator it) {
    leave_room(it->second);
    places_.erase(it->second.token);
    if (!it->second.claimed) unclaimed_.erase(it->second.unclaimed_at);
    std::string token = std::move(it->second.token);
    asks_.erase(it);
    return token;
}

}  // namespace qsc
