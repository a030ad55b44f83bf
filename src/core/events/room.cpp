#include "core/events/room.hpp"

namespace qsc::events {

namespace {

constexpr FieldRule kRoom[] = {
    {"id", Rule::RequiredString},      {"inserted_at", Rule::RequiredString},
    {"updated_at", Rule::RequiredString}, {"title", Rule::NullableString},
    {"task_id", Rule::NullableString},
};

constexpr FieldRule kRoomDeleted[] = {{"id", Rule::RequiredString}};

}  // namespace

constinit const FieldRules kRoomRules{kRoom};
constinit const FieldRules kRoomDeletedRules{kRoomDeleted};

}  // namespace qsc::events
