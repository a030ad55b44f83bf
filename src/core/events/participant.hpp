// "participant_added" / "participant_removed": one table for both.
#pragma once

#include "core/events/support.hpp"

namespace qsc::events {

extern const FieldRules kParticipantRules;

}  // namespace qsc::events
