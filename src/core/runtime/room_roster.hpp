// Which rooms one agent session has admitted, which it is admitting, and what a reconnect
// changes. Admission completions count only with the ticket of the admission they finish.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/enums.hpp"
#include "core/ordered.hpp"
#include "core/runtime/ticket.hpp"
#include "core/text_hash.hpp"

namespace qsc {

// One reconnect's reconciliation; each list is sorted by room id bytes and already applied.
struct RoomReconciliation {
    std::vector<std::string> removed;
    std::vector<std::pair<std::string, std::uint64_t>> admitting;
    std::vector<std::string> resync;
};

class RoomRoster {
public:
    // Tests of the limits reach the counters directly.
    friend struct LimitsProbe;

    // The ticket the next admission begun gets, if it gets one.
    std::uint64_t next_ticket() const noexcept { return tickets_.peek(); }

    RoomMembership room_membership(std::string_view room_id) const;
    std::optional<std::uint64_t> begin_room_admission(std::string_view room_id, bool passes_filter);
    // True exactly when this call made the room admitted.
    bool record_room_admission(std::string_view room_id, std::uint64_t ticket, bool succeeded);
    bool is_room_admission_current(std::string_view room_id, std::uint64_t ticket) const;
    // Cancels a pending admission too; true only if the room was admitted.
    bool record_room_removed(std::string_view room_id);
    // Admitted rooms, oldest admission first.
    const OrderedSet& admitted() const noexcept { return admitted_; }
    // Changes nothing when it runs out of memory.
    RoomReconciliation reconcile(std::span<const std::string_view> current_room_ids);
    // Every admitted and admitting room, sorted: what clear() forgets.
    std::vector<std::string> room_ids() const;
    void clear() noexcept;

private:
    OrderedSet admitted_;
    OrderedMap<std::uint64_t> admitting_;  // by room, with the ticket of its admission
    Counter tickets_;
};

}  // namespace qsc
