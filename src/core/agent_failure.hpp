// One agent-provider failure, carried verbatim.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/json.hpp"

namespace qsc {

// The single key under which a failure travels in the platform's extension data.
inline constexpr std::string_view FAILURE_EXTENSION_KEY = "quarn.core/failure";

struct AgentFailure {
    std::string provider;
    std::optional<std::string> code;
    std::string message;
    std::optional<Json> detail;
};

}  // namespace qsc
