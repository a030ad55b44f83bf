#include "core/json.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qsc {

void JsonString::assign(std::string_view t) {
    if (t.empty()) return;
    char* copy = new char[t.size()];
    std::memcpy(copy, t.data(), t.size());
    data_ = copy;
    size_ = t.size();
    owned_ = true;
}

void JsonString::swap(JsonString& other) noexcept {
    std::swap(origin, other.origin);
    std::swap(data_, other.data_);
    const std::size_t size = size_, owned = owned_;
    size_ = other.size_;
    owned_ = other.owned_;
    other.size_ = size;
    other.owned_ = owned;
}

Json::Json(double d) noexcept {
    if (std::isfinite(d)) v_ = d;
}

namespace {

bool key_before(const JsonMember& a, const JsonMember& b) noexcept { return text_less(a.key.text(), b.key.text()); }

// Payload objects are small: sorting the members in place by insertion beats sorting
// positions and moving every member once more. Stable, like the positional sort.
void insertion_sort(std::vector<JsonMember>& members) noexcept {
    for (std::size_t i = 1; i < members.size(); ++i) {
        if (!key_before(members[i], members[i - 1])) continue;
        JsonMember moving = std::move(members[i]);
        std::size_t j = i;
        for (; j > 0 && key_before(moving, members[j - 1]); --j) members[j] = std::move(members[j - 1]);
        members[j] = std::move(moving);
    }
}

// Sorts positions, not the members themselves: a member is large to move. Ties keep their order.
void positional_sort(std::vector<JsonMember>& members) {
    std::vector<std::uint32_t> order(members.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return key_before(members[a], members[b]); });
    std::vector<JsonMember> sorted;
    sorted.reserve(members.size());
    for (std::uint32_t i : order) sorted.push_back(std::move(members[i]));
    members = std::move(sorted);
}

constexpr std::size_t kInsertionSortLimit = 24;
constexpr std::size_t kScanLimit = 16;

}  // namespace

JsonObject JsonObject::from_members(std::vector<JsonMember>&& members) {
    JsonObject object;
    object.members_ = std::move(members);
    std::vector<JsonMember>& m = object.members_;
    // Already in order with no duplicates, as a sorted source arrives: nothing to do.
    if (std::adjacent_find(m.begin(), m.end(), [](const JsonMember& a, const JsonMember& b) {
            return !key_before(a, b);
        }) == m.end())
        return object;
    if (m.size() <= kInsertionSortLimit) insertion_sort(m);
    else positional_sort(m);
    // Of a run of equal keys the last one given wins.
    auto out = m.begin();
    for (auto it = m.begin(); it != m.end(); ++it) {
        if (it + 1 != m.end() && it->key.text() == (it + 1)->key.text()) continue;
        if (out != it) *out = std::move(*it);
        ++out;
    }
    m.erase(out, m.end());
    return object;
}

std::vector<JsonMember>::iterator JsonObject::lower_bound(std::string_view key) noexcept {
    return std::lower_bound(members_.begin(), members_.end(), key,
                            [](const JsonMember& m, std::string_view k) { return text_less(m.key.text(), k); });
}

Json* JsonObject::find(std::string_view key) noexcept {
    // A payload object's few members are found sooner by their lengths than by halving.
    if (members_.size() <= kScanLimit) {
        for (JsonMember& m : members_)
            if (text_equal(m.key.text(), key)) return &m.value;
        return nullptr;
    }
    auto it = lower_bound(key);
    return it != members_.end() && text_equal(it->key.text(), key) ? &it->value : nullptr;
}

const Json* JsonObject::find(std::string_view key) const noexcept {
    return const_cast<JsonObject*>(this)->find(key);
}

void JsonObject::set(JsonString key, Json value) {
    auto it = lower_bound(key.text());
    if (it != members_.end() && it->key.text() == key.text()) {
        it->value = std::move(value);
        return;
    }
    members_.insert(it, JsonMember{std::move(key), std::move(value)});
}

bool JsonObject::erase(std::string_view key) {
    auto it = lower_bound(key);
    if (it == members_.end() || it->key.text() != key) return false;
    members_.erase(it);
    return true;
}

}  // namespace qsc
