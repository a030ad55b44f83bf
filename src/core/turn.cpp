#include "core/turn.hpp"

namespace qsc {

static_assert(std::size(kQuarnTools) == 28);
static_assert(canonical_name(QuarnTool::NoReply) == "quarn_no_reply");

namespace {

constexpr ToolParameterSpec kNoReplyParameters[] = {
    {"reason", "Short note on why no reply is needed (kept in local logs only)", false},
};

constexpr ToolSpec kNoReplyTool{
    canonical_name(QuarnTool::NoReply),
    "End this turn without posting anything to the room.\n\n"
    "Consider every current input message together, in context. Call this instead of quarn_send_message only "
    "when the turn as a whole needs no answer from you: the inputs were addressed to someone else, are FYIs or "
    "acknowledgements, or another participant already answered them. An FYI or acknowledgement does not cancel "
    "another input's outstanding request, and a correction or cancellation is read in context. It ends the "
    "whole turn, never just one input, and is not called after you have sent a reply. A single reply may "
    "address several inputs. It is a complete turn, not an error; do not also send a message.",
    kNoReplyParameters,
};

}  // namespace

const ToolSpec& no_reply_tool() noexcept { return kNoReplyTool; }

std::string_view missing_reply_message() noexcept {
    return "The agent ended its turn without replying or calling quarn_no_reply, so nothing reached the room.";
}

void TurnLedger::record(TurnEffect effect) noexcept {
    switch (effect) {
        case TurnEffect::Observe: break;
        case TurnEffect::Act: settled_ = true; break;
        case TurnEffect::Reply:
        case TurnEffect::Decline:
            settled_ = true;
            reply_settled_ = true;
            break;
    }
}

}  // namespace qsc
