// A borrowed string plus the opaque handle of where it came from (see JsonString). Decisions
// refer to their inputs with it instead of copying them.
#pragma once

#include <string_view>

#include "core/json.hpp"

namespace qsc {

struct TextRef {
    std::string_view text;
    const void* origin = nullptr;

    static TextRef of(const JsonString& s) noexcept { return {s.text, s.origin}; }
};

}  // namespace qsc
