// The shape of a message that passes the "message_created" checks, for reading plain payloads
// (see frame/plain.hpp) in one pass.
#pragma once

#include "py/frame/plain.hpp"

namespace qsc::py {

// A dict whose fields hold; `metadata` a dict whose `mentions` is a list of valid mentions, and
// `attachments` a list, each filled in empty where it is absent or null, as the checks normalise
// them. A payload without this shape is left to the general path, which reports its issues.
extern const PlainShape kPlainMessage;

}  // namespace qsc::py
