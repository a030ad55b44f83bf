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
    HashedText key(token);
    while (places_.contains(key)) {
        token = mint.next_token();
        key = HashedText(token);
    }
    const std::uint64_t ticket = tickets_.peek();
    const Decision& d = insert(std::move(token), key.hash, room_id, ticket);
    mint_ = mint;
    (void)tickets_.next();
    return Registration{d.token, ticket};
}

std::optional<Registration> DecisionRegistry::register_keyed(std::string_view key) {
    const HashedText hashed(key);
    const Asks::iterator* found = places_.find(hashed);
    if (found && (*found)->second.claimed) return std::nullopt;
    if (tickets_.exhausted()) return std::nullopt;
    const std::uint64_t ticket = tickets_.peek();
    Decision* d = nullptr;
    if (!found) {
        d = &insert(std::string(key), hashed.hash, std::nullopt, ticket);
    } else {
        d = &(*found)->second;
        leave_room(*d);
        d->ticket = ticket;
    }
    (void)tickets_.next();
    return Registration{d->token, ticket};
}

ClaimOutcome DecisionRegistry::try_claim(std::string_view token, std::uint64_t ticket) noexcept {
    auto it = find(token, ticket);
    if (it == asks_.end()) return ClaimOutcome::Stale;
    Decision& d = it->second;
    if (d.claimed) return ClaimOutcome::AlreadyClaimed;
    d.claimed = true;
    unclaimed_.unlink(&d, &Decision::unclaimed_links);
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
    if (!unclaimed_.head) return std::nullopt;
    return unclaimed_.head->token;
}

std::optional<std::string> DecisionRegistry::evict_oldest() {
    if (!max_pending_ || asks_.size() < *max_pending_ || !unclaimed_.head) return std::nullopt;
    return erase(asks_.find(unclaimed_.head->place));
}

CancelledDecisions DecisionRegistry::cancel_all() {
    CancelledDecisions out;
    out.unclaimed.reserve(unclaimed_.size);
    out.claimed.reserve(asks_.size() - unclaimed_.size);
    for (auto& [place, d] : asks_) (d.claimed ? out.claimed : out.unclaimed).push_back(std::move(d.token));
    places_.clear();
    asks_.clear();
    unclaimed_ = AskList();
    rooms_.clear();
    return out;
}

CancelledDecisions DecisionRegistry::cancel_room(std::string_view room_id) {
    CancelledDecisions out;
    const HashedText key(room_id);
    const AskList* room = rooms_.find(key);
    if (!room) return out;
    // Room for the answer first: nothing after it allocates.
    out.unclaimed.reserve(room->size);
    out.claimed.reserve(room->size);
    for (Decision* d = room->head; d;) {
        Decision* next = d->room_links.next;
        auto it = asks_.find(d->place);
        QSC_ASSERT(it != asks_.end(), "room list names a missing ask");
        d->room_id.reset();  // the room goes as a whole below
        const bool claimed = d->claimed;
        (claimed ? out.claimed : out.unclaimed).push_back(erase(it));
        d = next;
    }
    rooms_.erase(key);
    return out;
}

void DecisionRegistry::AskList::push_back(Decision* d, Links Decision::*links) noexcept {
    (d->*links) = Links{tail, nullptr};
    (tail ? (tail->*links).next : head) = d;
    tail = d;
    ++size;
}

void DecisionRegistry::AskList::unlink(Decision* d, Links Decision::*links) noexcept {
    const Links at = d->*links;
    (at.prev ? (at.prev->*links).next : head) = at.next;
    (at.next ? (at.next->*links).prev : tail) = at.prev;
    d->*links = Links{};
    --size;
}

DecisionRegistry::Asks::iterator DecisionRegistry::find(const HashedText& token, std::uint64_t ticket) noexcept {
    const Asks::iterator* found = places_.find(token);
    return found && (*found)->second.ticket == ticket ? *found : asks_.end();
}

DecisionRegistry::Decision& DecisionRegistry::insert(std::string token, std::uint64_t token_hash,
                                                     std::optional<std::string_view> room_id, std::uint64_t ticket) {
    // The ticket is fresh, so it is also the newest place.
    const std::size_t before = asks_.size();
    Decision fresh;
    fresh.token = std::move(token);
    fresh.token_hash = token_hash;
    fresh.place = fresh.ticket = ticket;
    auto it = asks_.emplace_hint(asks_.end(), ticket, std::move(fresh));
    QSC_ASSERT(asks_.size() > before, "ticket reused as a place");
    Decision& d = it->second;
    try {
        if (room_id) enter_room(d, *room_id);
        places_.emplace_back(HashedText(d.token, d.token_hash), it);
    } catch (...) {
        // Out of memory part way: what went in goes again.
        leave_room(d);
        asks_.erase(it);
        throw;
    }
    unclaimed_.push_back(&d, &Decision::unclaimed_links);
    return d;
}

void DecisionRegistry::enter_room(Decision& d, std::string_view room_id) {
    const HashedText room(room_id);
    AskList& list = *rooms_.emplace_back(room).first;
    list.push_back(&d, &Decision::room_links);
    d.room_id = rooms_.stored_key(room);
    d.room_hash = room.hash;
}

void DecisionRegistry::leave_room(Decision& d) noexcept {
    if (!d.room_id) return;
    const HashedText room(*d.room_id, d.room_hash);
    d.room_id.reset();
    AskList* list = rooms_.find(room);
    if (!list) return;
    list->unlink(&d, &Decision::room_links);
    if (!list->head) rooms_.erase(room);  // ends the view the ask held
}

std::string DecisionRegistry::erase(Asks::iterator it) noexcept {
    Decision& d = it->second;
    leave_room(d);
    places_.erase(HashedText(d.token, d.token_hash));
    if (!d.claimed) unclaimed_.unlink(&d, &Decision::unclaimed_links);
    std::string token = std::move(d.token);
    asks_.erase(it);
    return token;
}

}  // namespace qsc
