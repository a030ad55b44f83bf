// The shapes of the payloads that pass each event kind's checks, for reading plain payloads (see
// frame/plain.hpp) in one pass.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/enums.hpp"
#include "py/frame/plain.hpp"

namespace qsc::py {

// A dict whose fields hold; `metadata` a dict whose `mentions` is a list of valid mentions, and
// `attachments` a list, each filled in empty where it is absent or null, as the checks normalise
// them. A payload without this shape is left to the general path, which reports its issues.
extern const PlainShape kPlainMessage;

// How many fields a plain message has, at most, and the position of the field `key` among them.
inline constexpr std::size_t kMaxMessageFields = 16;
std::size_t plain_message_field(std::string_view key) noexcept;

// The shape of a payload of `kind` that its checks accept, with the normalising they do where
// the shape can say it (empty containers, "retryable" false when absent or null); null for
// "event_created", which any plain value is. A payload the checks would change otherwise, or
// refuse, is left to the general path.
const PlainShape* plain_event_shape(EventType kind) noexcept;

}  // namespace qsc::py
