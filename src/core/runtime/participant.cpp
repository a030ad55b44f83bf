#include "core/runtime/participant.hpp"

#include <unordered_set>

namespace qsc {

void merge_into(Participant& existing, Participant&& update) {
    for (const ParticipantField& field : kParticipantFields) {
        auto& value = update.*field.member;
        if (value && !value->empty()) existing.*field.member = std::move(value);
    }
}

bool ParticipantRoster::add(Participant participant) {
    auto found = index_.find(std::string_view(participant.id));
    if (found != index_.end()) {
        merge_into(participants_[found->second], std::move(participant));
        return false;
    }
    index_.emplace(participant.id, participants_.size());
    participants_.push_back(std::move(participant));
    return true;
}

bool ParticipantRoster::remove(std::string_view id) {
    auto found = index_.find(id);
    if (found == index_.end()) return false;
    const std::size_t at = found->second;
    index_.erase(found);
    participants_.erase(participants_.begin() + static_cast<std::ptrdiff_t>(at));
    reindex_from(at);
    return true;
}

std::optional<CoreError> ParticipantRoster::set_all(std::vector<Participant>&& snapshot, TraceContext trace) {
    std::vector<Issue> issues;
    {
        std::unordered_set<std::string_view> seen;
        seen.reserve(snapshot.size());
        for (std::size_t i = 0; i < snapshot.size(); ++i) {
            const std::string& id = snapshot[i].id;
            if (seen.insert(id).second) continue;
            issues.push_back({cat({"participants[", std::to_string(i), "].id"}), IssueCode::InvalidValue,
                              cat({"duplicate participant id `", id, "` in set_all snapshot"})});
        }
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
    participants_ = std::move(snapshot);
    index_.clear();
    reindex_from(0);
    return std::nullopt;
}

void ParticipantRoster::reindex_from(std::size_t first) {
    for (std::size_t i = first; i < participants_.size(); ++i) index_.insert_or_assign(participants_[i].id, i);
}

}  // namespace qsc
