// The shape of a message that passes the "message_created" checks as it is, with nothing to
// normalise, for reading plain payloads (see frame/plain.hpp) in one pass.
#pragma once

#include "py/frame/plain.hpp"

namespace qsc::py {

// A dict whose fields hold, with a `metadata` dict holding a `mentions` list of valid mentions,
// and an `attachments` list. A payload without this shape is left to the general path, which
// normalises it or reports its issues.
extern const PlainShape kPlainMessage;

}  // namespace qsc::py
