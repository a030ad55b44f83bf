// Which kinds of agent memory each memory tier accepts (the agent's stored memories, not RAM).
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "core/enums.hpp"
#include "core/error.hpp"

namespace qsc {

// The kinds a tier accepts, in `MemoryType` order.
std::span<const MemoryType> allowed_memory_types(MemorySystem system) noexcept;

// Both arguments are wire names; an unknown tier and an unknown kind are separate issues.
std::optional<CoreError> validate_memory_type_for_system(std::string_view system, std::string_view memory_type,
                                                         TraceContext trace);

}  // namespace qsc
