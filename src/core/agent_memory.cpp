#include "core/agent_memory.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace qsc {

namespace {

constexpr MemoryType kSensoryTypes[] = {MemoryType::Iconic, MemoryType::Echoic, MemoryType::Haptic};
constexpr MemoryType kConceptualTypes[] = {MemoryType::Episodic, MemoryType::Semantic, MemoryType::Procedural};

struct AllowedTypes {
    MemorySystem system;
    std::span<const MemoryType> types;
};

// By `MemorySystem` value.
constexpr AllowedTypes kAllowedTypes[] = {
    {MemorySystem::Sensory, kSensoryTypes},
    {MemorySystem::Working, kConceptualTypes},
    {MemorySystem::LongTerm, kConceptualTypes},
};
static_assert(std::size(kAllowedTypes) == EnumTraits<MemorySystem>::count);

std::string joined_wire_names(std::span<const MemoryType> types) {
    std::string out;
    for (MemoryType type : types) {
        if (!out.empty()) out += ", ";
        out += wire_name(type);
    }
    return out;
}

}  // namespace

std::span<const MemoryType> allowed_memory_types(MemorySystem system) noexcept {
    const AllowedTypes& entry = kAllowedTypes[static_cast<int>(system)];
    QSC_ASSERT(entry.system == system, "memory allowed-type table out of order");
    return entry.types;
}

std::optional<CoreError> validate_memory_type_for_system(std::string_view system, std::string_view memory_type,
                                                         TraceContext trace) {
    const auto tier = from_wire_name<MemorySystem>(system);
    const auto kind = from_wire_name<MemoryType>(memory_type);
    std::vector<Issue> issues;
    if (!tier) issues.push_back({"system", IssueCode::InvalidValue, cat({"unknown memory system `", system, "`"})});
    if (!kind) issues.push_back({"type", IssueCode::InvalidValue, cat({"unknown memory type `", memory_type, "`"})});
    if (tier && kind) {
        const auto allowed = allowed_memory_types(*tier);
        if (std::find(allowed.begin(), allowed.end(), *kind) == allowed.end())
            issues.push_back({"type", IssueCode::InvalidValue,
                              cat({"type `", memory_type, "` is not valid for system `", system,
                                   "`; expected one of: ", joined_wire_names(allowed)})});
    }
    if (issues.empty()) return std::nullopt;
    return CoreError(std::move(issues), trace);
}

}  // namespace qsc
