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
    auto found = index_.find(std::string_view(participant.id));
    if (found != index_.end()) {
        merge_into(participants_[found->second], std::move(participant));
        return false;
    }
    participants_.push_back(std::move(participant));
    try {
        index_.emplace(participants_.back().id, participants_.size() - 1);
    } catch (...) {
        participants_.pop_back();
        throw;
    }
    return true;
}

bool ParticipantRoster::remove(std::string_view id) {
    auto found = index_.find(id);
    if (found == index_.end()) return false;
    const std::size_t at = found->second;
    index_.erase(found);
    participants_.erase(participants_.begin() + static_cast<std::ptrdiff_t>(at));
    // Those behind it move up; their entries are updated in place, which allocates nothing.
    for (std::size_t i = at; i < participants_.size(); ++i) index_.find(participants_[i].id)->second = i;
    return true;
}

std::optional<CoreError> ParticipantRoster::set_all(std::vector<Participant>&& snapshot, TraceContext trace) {
    // The new index is built first, finding repeated ids on the way: it is all that allocates.
    Index index;
    index.reserve(snapshot.size());
    std::vector<Issue> issues;
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
        const std::string& id = snapshot[i].id;
        if (index.try_emplace(id, i).second) continue;
        issues.push_back({cat({"participants[", std::to_string(i), "].id"}), IssueCode::InvalidValue,
                          cat({"duplicate participant id `", id, "` in set_all snapshot"})});
    }
    if (!issues.empty()) return CoreError(std::move(issues), trace);

    for (Participant& incoming : snapshot) {
        auto found = index_.find(std::string_view(incoming.id));
        if (found == index_.end()) continue;
        // Ids are unique in the snapshot, so each current entry is taken at most once.
        Participant& current = participants_[found->second];
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
