// "room_added" / "room_removed" (one table for both) and "room_deleted".
#pragma once

#include "core/events/support.hpp"

namespace qsc::events {

extern const FieldRules kRoomRules;
extern const FieldRules kRoomDeletedRules;

}  // namespace qsc::events
