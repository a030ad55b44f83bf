#include "core/json.hpp"

#include <algorithm>
#include <cmath>

namespace qsc {

Json::Json(double d) noexcept {
    if (std::isfinite(d)) v_ = d;
}

JsonObject JsonObject::from_members(std::vector<JsonMember>&& members) {
    JsonObject object;
    const auto before = [](const JsonMember& a, const JsonMember& b) { return a.key.text < b.key.text; };
    if (std::adjacent_find(members.begin(), members.end(), [&](const JsonMember& a, const JsonMember& b) {
            return !before(a, b);
        }) == members.end()) {
        object.members_ = std::move(members);  // already in order, no duplicates
        return object;
    }
    // Sort positions, not the members themselves: a member is large to move. Ties keep their
    // order, so the last of a run of equal keys is the one given last.
    std::vector<std::uint32_t> order(members.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        const int c = members[a].key.text.compare(members[b].key.text);
        return c < 0 || (c == 0 && a < b);
    });
    object.members_.reserve(members.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i + 1 < order.size() && members[order[i]].key.text == members[order[i + 1]].key.text) continue;
        object.members_.push_back(std::move(members[order[i]]));
    }
    return object;
}

std::vector<JsonMember>::iterator JsonObject::lower_bound(std::string_view key) noexcept {
    return std::lower_bound(members_.begin(), members_.end(), key,
                            [](const JsonMember& m, std::string_view k) { return std::string_view(m.key.text) < k; });
}

Json* JsonObject::find(std::string_view key) noexcept {
    auto it = lower_bound(key);
    return it != members_.end() && it->key.text == key ? &it->value : nullptr;
}

const Json* JsonObject::find(std::string_view key) const noexcept {
    return const_cast<JsonObject*>(this)->find(key);
}

void JsonObject::set(JsonString key, Json value) {
    auto it = lower_bound(key.text);
    if (it != members_.end() && it->key.text == key.text) {
        it->value = std::move(value);
        return;
    }
    members_.insert(it, JsonMember{std::move(key), std::move(value)});
}

bool JsonObject::erase(std::string_view key) {
    auto it = lower_bound(key);
    if (it == members_.end() || it->key.text != key) return false;
    members_.erase(it);
    return true;
}

}  // namespace qsc
