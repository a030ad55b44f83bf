#include "core/runtime/room_roster.hpp"

#include <algorithm>

namespace qsc {

RoomMembership RoomRoster::room_membership(std::string_view room_id) const {
    if (admitting_.contains(room_id)) return RoomMembership::Admitting;
    if (admitted_.contains(room_id)) return RoomMembership::Admitted;
    return RoomMembership::Unadmitted;
}

std::optional<std::uint64_t> RoomRoster::begin_room_admission(std::string_view room_id, bool passes_filter) {
    if (!passes_filter || room_membership(room_id) != RoomMembership::Unadmitted || tickets_.exhausted())
        return std::nullopt;
    admitting_.emplace_back(room_id, tickets_.peek());
    return tickets_.next();
}

bool RoomRoster::record_room_admission(std::string_view room_id, std::uint64_t ticket, bool succeeded) {
    const HashedText room(room_id);
    const std::uint64_t* held = admitting_.find(room);
    if (!held || *held != ticket) return false;
    if (succeeded) admitted_.touch_back(room);
    admitting_.erase(room);
    return succeeded;
}

bool RoomRoster::is_room_admission_current(std::string_view room_id, std::uint64_t ticket) const {
    const std::uint64_t* held = admitting_.find(room_id);
    return held && *held == ticket;
}

bool RoomRoster::record_room_removed(std::string_view room_id) {
    const HashedText room(room_id);
    admitting_.erase(room);
    return admitted_.erase(room);
}

RoomReconciliation RoomRoster::reconcile(std::span<const std::string_view> current_room_ids) {
    std::vector<std::string_view> snapshot(current_room_ids.begin(), current_room_ids.end());
    std::sort(snapshot.begin(), snapshot.end());
    snapshot.erase(std::unique(snapshot.begin(), snapshot.end()), snapshot.end());

    RoomReconciliation result;
    for (const auto& [room_id, unit] : admitted_) {
        const bool present = std::binary_search(snapshot.begin(), snapshot.end(), std::string_view(room_id));
        (present ? result.resync : result.removed).emplace_back(room_id);
    }
    std::sort(result.removed.begin(), result.removed.end());
    std::sort(result.resync.begin(), result.resync.end());

    // The snapshot is sorted, so the tickets rise with the room ids.
    Counter tickets = tickets_;
    result.admitting.reserve(snapshot.size() - result.resync.size());
    for (std::string_view room_id : snapshot) {
        if (room_membership(room_id) != RoomMembership::Unadmitted) continue;
        const std::optional<std::uint64_t> ticket = tickets.next();
        if (!ticket) break;
        result.admitting.emplace_back(std::string(room_id), *ticket);
    }

    // The answer is whole before anything changes; admissions begun when memory runs out are
    // taken back.
    std::size_t begun = 0;
    try {
        for (; begun < result.admitting.size(); ++begun)
            admitting_.emplace_back(result.admitting[begun].first, result.admitting[begun].second);
    } catch (...) {
        while (begun > 0) admitting_.erase(result.admitting[--begun].first);
        throw;
    }
    tickets_ = tickets;
    for (const std::string& room_id : result.removed) admitted_.erase(room_id);
    return result;
}

std::vector<std::string> RoomRoster::room_ids() const {
    std::vector<std::string> rooms;
    rooms.reserve(admitted_.size() + admitting_.size());
    for (const auto& [room_id, unit] : admitted_) rooms.emplace_back(room_id);
    for (const auto& [room_id, ticket] : admitting_) rooms.emplace_back(room_id);
    std::sort(rooms.begin(), rooms.end());
    return rooms;
}

void RoomRoster::clear() noexcept {
    admitted_.clear();
    admitting_.clear();
}

}  // namespace qsc
