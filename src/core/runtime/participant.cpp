#include "core/runtime/participant.hpp"

#include "core/flat_set.hpp"

namespace qsc {

void merge_into(Participant& existing, Participant&& update) {
    for (const ParticipantField& field : kParticipantFields) {
        auto& value = update.*field.member;
        if (value && !value->empty()) existing.*field.member = std::move(value);
    }
}

bool ParticipantRoster::add(Participant participant) {
    const HashedText id(participant.id);
    if (const std::size_t* at = index_.find(id)) {
        merge_into(participants_[*at], std::move(participant));
        return false;
    }
    participants_.reserve(participants_.size() + 1);
    index_.emplace_back(id, participants_.size());
    participants_.push_back(std::move(participant));  // has room: cannot throw
    return true;
}

bool ParticipantRoster::remove(std::string_view id) {
    const HashedText key(id);
    const std::size_t* found = index_.find(key);
    if (!found) return false;
    const std::size_t at = *found;
    index_.erase(key);
    participants_.erase(participants_.begin() + static_cast<std::ptrdiff_t>(at));
    reindex_from(at);
    return true;
}

std::optional<CoreError> ParticipantRoster::set_all(std::vector<Participant>&& snapshot, TraceContext trace) {
    std::vector<Issue> issues;
    {
        FlatStringSet seen;
        for (std::size_t i = 0; i < snapshot.size(); ++i) {
            const std::string& id = snapshot[i].id;
            if (seen.insert(id)) continue;
            issues.push_back({cat({"participants[", std::to_string(i), "].id"}), IssueCode::InvalidValue,
                              cat({"duplicate participant id `", id, "` in set_all snapshot"})});
        }
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
    participants_ = std::move(snapshot);
    index_.clear();
    reindex_from(0);
    return std::nullopt;
}

void ParticipantRoster::reindex_from(std::size_t first) {
    for (std::size_t i = first; i < participants_.size(); ++i) *index_.emplace_back(participants_[i].id).first = i;
}

}  // namespace qsc
