#include "py/plain_events.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <span>
#include <utility>

#include "core/events/dispatch.hpp"
#include "core/events/message.hpp"

namespace qsc::py {

namespace {

using Need = PlainShape::Need;
using Field = PlainShape::Field;
using events::Rule;

constexpr PlainShape kString{Need::String};
constexpr PlainShape kNullableString{Need::NullableString};
constexpr PlainShape kBool{Need::Bool};
constexpr PlainShape kList{Need::List};
constexpr PlainShape kNullableInt{Need::NullableInt};
constexpr PlainShape kFalseIfNull{Need::Bool, {}, nullptr, true};

Interned kMentionsName{"mentions"};
Interned kMetadataName{"metadata"};
Interned kAttachmentsName{"attachments"};
Interned kRetryableName{"retryable"};

// The checks of the rules that name their key themselves read these keys.
constexpr std::string_view fixed_key(Rule rule, std::string_view key) {
    const std::string_view fixed = rule == Rule::RemoteAlias ? "is_remote"
                                   : rule == Rule::Retryable ? "retryable"
                                   : rule == Rule::RetryAfter ? "retry_after"
                                                              : key;
    if (key != fixed) throw "a rule on a key its check does not read";  // not a constant: fails the build
    return fixed;
}

// The field a rule holds, as far as the rule leaves what it accepts as it is: where it would
// change a value (a null it removes, a float it makes an int), the shape refuses the value and the
// general path answers. `closed` is the rule's own shape, for a closed set of strings.
constexpr Field field_of(const events::FieldRule& rule, const PlainShape* closed) {
    const std::string_view key = fixed_key(rule.rule, rule.key);
    switch (rule.rule) {
        case Rule::RequiredString: return {key, &kString, true};
        case Rule::RequiredNullableString: return {key, &kNullableString, true};
        case Rule::ClosedString: return {key, closed, true};
        case Rule::NullableString: return {key, &kNullableString};
        case Rule::String:
        case Rule::NullAsAbsentString: return {key, &kString};
        case Rule::Boolean: return {key, &kBool};
        case Rule::Array: return {key, &kList};
        // One flag fills in the other: both or neither leaves them as they are.
        case Rule::RemoteAlias: return {key, &kBool, false, nullptr, true};
        case Rule::Retryable: return {key, &kFalseIfNull, false, &kRetryableName};
        case Rule::RetryAfter: return {key, &kNullableInt};
    }
    throw "a rule with no plain shape";
}

constexpr std::size_t kMaxFields = 16;

// The plain shape of the payloads of an event kind that its rule table alone checks.
template <EventType Kind>
struct RuleShape {
    static constexpr events::FieldRules rules = *events::event_rules(Kind);
    static constexpr auto closed = [] {
        std::array<PlainShape, kMaxFields> out{};
        for (std::size_t i = 0; i < rules.size(); ++i) out[i] = PlainShape{Need::String, {}, nullptr, false, rules[i].allowed};
        return out;
    }();
    static constexpr auto table = [] {
        std::array<Field, kMaxFields> out{};
        std::size_t n = 0;
        for (std::size_t i = 0; i < rules.size(); ++i) {
            out[n++] = field_of(rules[i], &closed[i]);
            if (rules[i].rule == Rule::RemoteAlias) out[n++] = Field{"is_external", &kBool, false, nullptr, true};
        }
        std::sort(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n),
                  [](const Field& a, const Field& b) { return a.key < b.key; });
        return std::pair{out, n};
    }();
    static constexpr std::span<const Field> fields{table.first.data(), table.second};
    static_assert(well_formed(fields));
    static constexpr PlainShape shape{Need::Dict, fields};
};

// A rule table's fields and `extra`, in ascending byte order of key.
template <const auto& Rules, std::size_t N = 0>
constexpr auto fields_of(std::array<Field, N> extra = {}) {
    std::array<Field, std::size(Rules) + N> out{};
    for (std::size_t i = 0; i < std::size(Rules); ++i) out[i] = field_of(Rules[i], nullptr);
    for (std::size_t i = 0; i < N; ++i) out[std::size(Rules) + i] = extra[i];
    std::sort(out.begin(), out.end(), [](const Field& a, const Field& b) { return a.key < b.key; });
    return out;
}

constexpr auto kMentionFields = fields_of<events::kMentionFields>();
constexpr PlainShape kMention{Need::Dict, kMentionFields};
// Absent or null, each container the checks require is filled in empty.
constexpr PlainShape kMentionList{Need::List, {}, &kMention, true};
constexpr Field kMetadataFields[] = {{"mentions", &kMentionList, false, &kMentionsName}};
constexpr PlainShape kMetadata{Need::Dict, kMetadataFields, nullptr, true};
constexpr PlainShape kAttachments{Need::List, {}, nullptr, true};
constexpr auto kMessageFields = fields_of<events::kMessageFields>(std::array<Field, 2>{
    Field{"metadata", &kMetadata, false, &kMetadataName}, Field{"attachments", &kAttachments, false, &kAttachmentsName}});
static_assert(well_formed(kMentionFields) && well_formed(kMetadataFields) && well_formed(kMessageFields));
static_assert(std::size(kMessageFields) <= kMaxMessageFields);

template <EventType Kind>
constexpr const PlainShape* shape_of() {
    if constexpr (Kind == EventType::MessageCreated || Kind == EventType::MessageUpdated) return &kPlainMessage;
    else if constexpr (Kind == EventType::EventCreated) return nullptr;
    else return &RuleShape<Kind>::shape;
}

template <std::size_t... I>
constexpr std::array<const PlainShape*, sizeof...(I)> shapes_by_kind(std::index_sequence<I...>) {
    return {shape_of<static_cast<EventType>(I)>()...};
}

}  // namespace

constinit const PlainShape kPlainMessage{Need::Dict, kMessageFields};

std::size_t plain_message_field(std::string_view key) noexcept {
    const auto found = std::find_if(kMessageFields.begin(), kMessageFields.end(), [&](const Field& f) { return f.key == key; });
    return static_cast<std::size_t>(found - kMessageFields.begin());
}

const PlainShape* plain_event_shape(EventType kind) noexcept {
    static constexpr auto kShapes = shapes_by_kind(std::make_index_sequence<ClosedSet<EventType>::count>{});
    return kShapes[static_cast<std::size_t>(kind)];
}

}  // namespace qsc::py
