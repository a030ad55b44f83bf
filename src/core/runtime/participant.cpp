#include "core/runtime/participant.hpp"

#include <type_traits>

namespace qsc {

void merge_into(Participant& existing, Participant&& update) {
    for (const ParticipantField& field : kParticipantFields) {
        auto& value = update.*field.member;
        if (value && !value->empty()) existing.*field.member = std::move(value);
    }
}

// A roster is committed by moving vectors and tables, which cannot fail.
static_assert(std::is_nothrow_move_constructible_v<Participant> && std::is_nothrow_move_assignable_v<Participant>);

bool ParticipantRoster::add(Participant participant) {
    const HashedText id(participant.id);
    if (std::size_t* at = index_.find(id)) {
        merge_into(participants_[*at], std::move(participant));
        return false;
    }
    // Grown first, as vectors grow (reserving one more each time would copy the roster on every
    // add); an index entry that cannot be made takes the new participant back out. The key is
    // the stored id now: the argument was moved from.
    participants_.push_back(std::move(participant));
    try {
        index_.emplace_back(HashedText(participants_.back().id, id.hash), participants_.size() - 1);
    } catch (...) {
        participants_.pop_back();
        throw;
    }
    return true;
}

bool ParticipantRoster::remove(std::string_view id) {
    const HashedText key(id);
    const std::size_t* found = index_.find(key);
    if (!found) return false;
    const std::size_t at = *found;
    index_.erase(key);
    participants_.erase(participants_.begin() + static_cast<std::ptrdiff_t>(at));
    // Those behind it move up; their entries are updated in place, which allocates nothing.
    for (std::size_t i = at; i < participants_.size(); ++i) *index_.find(participants_[i].id) = i;
    return true;
}

std::optional<CoreError> ParticipantRoster::set_all(std::vector<Participant>&& snapshot, TraceContext trace) {
    // The new index is built first, finding repeated ids on the way: it is all that allocates.
    Index index;
    std::vector<Issue> issues;
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
        const std::string& id = snapshot[i].id;
        if (index.emplace_back(id, i).second) continue;
        issues.push_back({cat({"participants[", std::to_string(i), "].id"}), IssueCode::InvalidValue,
                          cat({"duplicate participant id `", id, "` in set_all snapshot"})});
    }
    if (!issues.empty()) return CoreError(std::move(issues), trace);

    for (Participant& incoming : snapshot) {
        const std::size_t* found = index_.find(incoming.id);
        if (!found) continue;
        // Ids are unique in the snapshot, so each current entry is taken at most once.
        Participant& current = participants_[*found];
        merge_into(current, std::move(incoming));
        incoming = std::move(current);
    }
    static_assert(std::is_nothrow_move_assignable_v<Index>);
    participants_ = std::move(snapshot);
    index_ = std::move(index);
    return std::nullopt;
}

void ParticipantRoster::mark_sent() {
    // Copied aside first: assigned in place, a copy that runs out of memory stops half way.
    std::vector<Participant> sent(participants_);
    sent_ = std::move(sent);
}

}  // namespace qsc
