// The message checks over a plain payload's own objects (see frame/plain.hpp), for the common
// case of a message that passes them as it is.
#pragma once

#include "py/frame/python.hpp"

namespace qsc::py {

// Whether a plain `payload` passes the "message_created" checks with nothing to normalise: a
// dict whose fields hold, with a `metadata` dict holding a `mentions` list of valid mentions,
// and an `attachments` list. False means only that the general path must answer.
bool plain_message_holds(PyObject* payload);

}  // namespace qsc::py
