#include "core/json.hpp"

#include <algorithm>
#include <cmath>

namespace qsc {

Json::Json(double d) noexcept {
    if (std::isfinite(d)) v_ = d;
}

JsonObject JsonObject::from_members(std::vector<JsonMember>&& members) {
    JsonObject object;
    std::stable_sort(members.begin(), members.end(),
                     [](const JsonMember& a, const JsonMember& b) { return a.key.text < b.key.text; });
    object.members_.reserve(members.size());
    for (JsonMember& m : members) {
        if (!object.members_.empty() && object.members_.back().key.text == m.key.text)
            object.members_.back() = std::move(m);
        else
            object.members_.push_back(std::move(m));
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
