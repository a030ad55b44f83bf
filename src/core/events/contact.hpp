// Contacts and contact requests: "contact_added", "contact_removed",
// "contact_request_received", "contact_request_updated".
#pragma once

#include "core/events/support.hpp"

namespace qsc::events {

extern const FieldRules kContactAddedRules;
extern const FieldRules kContactRemovedRules;
extern const FieldRules kContactRequestReceivedRules;
extern const FieldRules kContactRequestUpdatedRules;

}  // namespace qsc::events
