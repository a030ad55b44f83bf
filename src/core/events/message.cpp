#include "core/events/message.hpp"

#include <type_traits>

namespace qsc::events {

namespace {

constexpr FieldRule kMessageFields[] = {
    {"id", Rule::RequiredString},          {"content", Rule::RequiredString},
    {"message_type", Rule::RequiredString}, {"sender_type", Rule::RequiredString},
    {"sender_id", Rule::RequiredString},   {"inserted_at", Rule::RequiredString},
    {"updated_at", Rule::RequiredString},  {"sender_name", Rule::NullableString},
};

constexpr FieldRule kMentionFields[] = {
    {"id", Rule::RequiredString},
    {"username", Rule::NullableString},
    {"handle", Rule::NullableString},
    {"name", Rule::NullableString},
};

constexpr std::string_view kMentions = "metadata.mentions";

// Absent or null becomes an empty container; false when the value is there but of another kind.
template <class Container>
bool ensure(JsonObject& object, std::string_view key, Json*& slot) {
    slot = object.find(key);
    if (!slot) {
        object.set(JsonString(key), Json(Container{}));
        slot = object.find(key);
        return true;
    }
    if (slot->is_null()) *slot = Json(Container{});
    if constexpr (std::is_same_v<Container, JsonArray>)
        return slot->is_array();
    else
        return slot->is_object();
}

void check_mentions(JsonObject& metadata, Validation& v) {
    Json* mentions = nullptr;
    if (!ensure<JsonArray>(metadata, "mentions", mentions)) return v.wrong_type(kMentions, "array");
    JsonArray& list = mentions->as_array();
    for (std::size_t i = 0; i < list.size(); ++i) {
        JsonObject* mention = list[i].object_if();
        if (!mention) {
            v.wrong_type(Path(kMentions, i), "object");
            continue;
        }
        run_rules(*mention, kMentionFields, v, kMentions, i);
    }
}

}  // namespace

void validate_message(JsonObject& payload, Validation& v) {
    run_rules(payload, kMessageFields, v);
    Json* metadata = nullptr;
    if (ensure<JsonObject>(payload, "metadata", metadata))
        check_mentions(metadata->as_object(), v);
    else
        v.wrong_type("metadata", "object");
    Json* attachments = nullptr;
    if (!ensure<JsonArray>(payload, "attachments", attachments)) v.wrong_type("attachments", "array");
}

}  // namespace qsc::events
