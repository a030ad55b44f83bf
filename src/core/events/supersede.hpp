// "supersede": the platform says this connection is superseded.
#pragma once

#include "core/events/support.hpp"

namespace qsc::events {

extern const FieldRules kSupersedeRules;

}  // namespace qsc::events
