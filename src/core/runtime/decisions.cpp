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

std::optional<Registration> DecisionRegistry::register_minted(std::optional<std::string_view> room_id) {
    const auto ticket = tickets_.next();
    if (!ticket) return std::nullopt;
    std::string token = mint_.next_token();
    while (places_.contains(token)) token = mint_.next_token();
    insert(token, room_id ? std::optional<std::string>(*room_id) : std::nullopt, *ticket);
    return Registration{std::move(token), *ticket};
}

std::optional<Registration> DecisionRegistry::register_keyed(std::string_view key) {
    auto found = places_.find(key);
    if (found != places_.end() && asks_.at(found->second).claimed) return std::nullopt;
    const auto ticket = tickets_.next();
    if (!ticket) return std::nullopt;
    if (found == places_.end()) {
        insert(std::string(key), std::nullopt, *ticket);
    } else {
        Decision& d = asks_.at(found->second);
        leave_room(found->second, d);
        d.room_id.reset();
        d.ticket = *ticket;
    }
    return Registration{std::string(key), *ticket};
}

ClaimOutcome DecisionRegistry::try_claim(std::string_view token, std::uint64_t ticket) noexcept {
    auto it = find(token, ticket);
    if (it == asks_.end()) return ClaimOutcome::Stale;
    if (it->second.claimed) return ClaimOutcome::AlreadyClaimed;
    it->second.claimed = true;
    unclaimed_.erase(it->first);
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
    auto room = rooms_.find(room_id);
    if (room == rooms_.end()) return out;
    const std::set<std::uint64_t> places = std::move(room->second);
    rooms_.erase(room);
    for (std::uint64_t place : places) {
        auto it = asks_.find(place);
        QSC_ASSERT(it != asks_.end(), "room index names a missing ask");
        const bool claimed = it->second.claimed;
        (claimed ? out.claimed : out.unclaimed).push_back(erase(it));
    }
    return out;
}

DecisionRegistry::Asks::iterator DecisionRegistry::find(std::string_view token, std::uint64_t ticket) noexcept {
    auto found = places_.find(token);
    if (found == places_.end()) return asks_.end();
    auto it = asks_.find(found->second);
    return it->second.ticket == ticket ? it : asks_.end();
}

void DecisionRegistry::insert(std::string token, std::optional<std::string> room_id, std::uint64_t ticket) {
    // The ticket is fresh, so it is also the newest place.
    const std::size_t before = asks_.size();
    auto it = asks_.emplace_hint(asks_.end(), ticket, Decision{std::move(token), std::move(room_id), ticket});
    QSC_ASSERT(asks_.size() > before, "ticket reused as a place");
    places_.emplace(it->second.token, ticket);
    unclaimed_.insert(unclaimed_.end(), ticket);
    if (it->second.room_id) rooms_[*it->second.room_id].insert(ticket);
}

void DecisionRegistry::leave_room(std::uint64_t place, const Decision& d) {
    if (!d.room_id) return;
    auto room = rooms_.find(*d.room_id);
    if (room == rooms_.end()) return;
    room->second.erase(place);
    if (room->second.empty()) rooms_.erase(room);
}

std::string DecisionRegistry::erase(Asks::iterator it) {
    const std::uint64_t place = it->first;
    leave_room(place, it->second);
    places_.erase(std::string_view(it->second.token));
    unclaimed_.erase(place);
    std::string token = std::move(it->second.token);
    asks_.erase(it);
    return token;
}

}  // namespace qsc
