#include "py/plain_message.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>

#include "core/events/message.hpp"

namespace qsc::py {

namespace {

using Need = PlainShape::Need;
using Field = PlainShape::Field;

constexpr PlainShape kString{Need::String};
constexpr PlainShape kNullableString{Need::NullableString};

Interned kMentionsName{"mentions"};
Interned kMetadataName{"metadata"};
Interned kAttachmentsName{"attachments"};

// A rule table's fields and `extra`, in ascending byte order of key.
template <const auto& Rules, std::size_t N = 0>
constexpr auto fields_of(std::array<Field, N> extra = {}) {
    std::array<Field, std::size(Rules) + N> out{};
    for (std::size_t i = 0; i < std::size(Rules); ++i) {
        switch (Rules[i].rule) {
            case events::Rule::RequiredString: out[i] = Field{Rules[i].key, &kString, true}; break;
            case events::Rule::NullableString: out[i] = Field{Rules[i].key, &kNullableString, false}; break;
            default: throw "a rule with no plain shape";  // not a constant: fails the build
        }
    }
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

}  // namespace

const PlainShape kPlainMessage{Need::Dict, kMessageFields};

}  // namespace qsc::py
