// Heterogeneous hashing, so string-keyed tables can be searched with a string_view.
#pragma once

#include <functional>
#include <string_view>

namespace qsc {

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

}  // namespace qsc
