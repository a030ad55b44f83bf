// "room_added" / "room_removed" (one table for both) and "room_deleted".
#pragma once

#include "core/events/support.hpp"

namespace qsc::events {

inline constexpr FieldRule kRoomRules[] = {
    {"id", Rule::RequiredString},      {"inserted_at", Rule::RequiredString},
    {"updated_at", Rule::RequiredString}, {"title", Rule::NullableString},
    {"task_id", Rule::NullableString},
};

inline constexpr FieldRule kRoomDeletedRules[] = {{"id", Rule::RequiredString}};

}  // namespace qsc::events
