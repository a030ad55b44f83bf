// The passive participant roster: merged additions, authoritative snapshots, and whether the
// roster changed since the host last passed it on.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/ordered.hpp"

namespace qsc {

struct Participant {
    std::string id;
    std::optional<std::string> name;
    std::optional<std::string> type;
    std::optional<std::string> handle;
    std::optional<std::string> description;

    bool operator==(const Participant&) const = default;
};

// The optional fields by their wire names, in their documented order.
struct ParticipantField {
    std::string_view key;
    std::optional<std::string> Participant::*member;
};
inline constexpr ParticipantField kParticipantFields[] = {
    {"name", &Participant::name},
    {"type", &Participant::type},
    {"handle", &Participant::handle},
    {"description", &Participant::description},
};

// `update` over `existing`: an update never blanks a field, so a missing or empty value leaves
// the old one standing.
void merge_into(Participant& existing, Participant&& update);

class ParticipantRoster {
public:
    // True when newly added; false when an existing entry was refreshed in place.
    bool add(Participant participant);
    bool remove(std::string_view id);
    // Replaces the roster, or changes nothing and reports every repeated id.
    std::optional<CoreError> set_all(std::vector<Participant>&& snapshot, TraceContext trace);

    const std::vector<Participant>& list() const noexcept { return participants_; }
    // Membership, order or any field differs from the last mark_sent(); true before the first.
    bool changed() const noexcept { return !sent_ || *sent_ != participants_; }
    void mark_sent();

private:
    using Index = OrderedMap<std::size_t>;  // each id's place in participants_

    std::vector<Participant> participants_;
    Index index_;
    std::optional<std::vector<Participant>> sent_;
};

}  // namespace qsc
