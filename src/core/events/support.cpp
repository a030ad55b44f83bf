#include "core/events/support.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace qsc::events {

namespace {

constexpr std::string_view kStringWord = "string";

// An issue's text is built out of line, off the path a valid payload takes.
[[gnu::cold, gnu::noinline]] std::string wrong_type_message(const std::string& path, std::string_view expected) {
    const char first = expected.empty() ? '\0' : expected.front();
    const bool vowel = first == 'a' || first == 'e' || first == 'i' || first == 'o' || first == 'u';
    return cat({"`", path, "` must be ", vowel ? "an " : "a ", expected});
}

}  // namespace

std::string Path::text() const {
    if (parent.empty()) return std::string(key);
    const std::string position = std::to_string(index);
    if (key.empty()) return cat({parent, "[", position, "]"});
    return cat({parent, "[", position, "].", key});
}

void Validation::push(std::string_view path, IssueCode code, std::string message) {
    issues_.push_back(Issue{std::string(path), code, std::move(message)});
}

[[gnu::cold]] void Validation::wrong_type(const Path& path, std::string_view expected) {
    std::string text = path.text();
    std::string message = wrong_type_message(text, expected);
    issues_.push_back(Issue{std::move(text), IssueCode::WrongType, std::move(message)});
}

[[gnu::cold]] void Validation::missing(const Path& path) {
    std::string text = path.text();
    std::string message = cat({"required field `", text, "` is missing"});
    issues_.push_back(Issue{std::move(text), IssueCode::Missing, std::move(message)});
}

std::optional<CoreError> Validation::finish(TraceContext trace) && {
    if (issues_.empty()) return std::nullopt;
    return CoreError(std::move(issues_), trace);
}

void require_string(const JsonObject& object, const Path& path, Validation& v) {
    const Json* value = object.find(path.key);
    if (!value) return v.missing(path);
    if (!value->is_string()) v.wrong_type(path, kStringWord);
}

void require_nullable_string(const JsonObject& object, const Path& path, Validation& v) {
    const Json* value = object.find(path.key);
    if (!value) return v.missing(path);
    if (!value->is_string() && !value->is_null()) v.wrong_type(path, kStringWord);
}

[[gnu::cold]] static void not_one_of(const Path& path, std::span<const std::string_view> allowed, Validation& v) {
    std::string text = path.text();
    std::string message = cat({"`", text, "` must be one of: "});
    for (std::size_t i = 0; i < allowed.size(); ++i) {
        if (i > 0) message += ", ";
        message += allowed[i];
    }
    v.push(text, IssueCode::InvalidValue, std::move(message));
}

void require_closed_string(const JsonObject& object, const Path& path, std::span<const std::string_view> allowed,
                           Validation& v) {
    const Json* value = object.find(path.key);
    if (!value) return v.missing(path);
    const std::string* text = value->string_if();
    if (!text) return v.wrong_type(path, kStringWord);
    for (std::string_view candidate : allowed)
        if (*text == candidate) return;
    not_one_of(path, allowed, v);
}

void optional_string(const JsonObject& object, const Path& path, bool null_allowed, Validation& v) {
    const Json* value = object.find(path.key);
    if (!value || value->is_string() || (null_allowed && value->is_null())) return;
    v.wrong_type(path, kStringWord);
}

void optional_of_kind(const JsonObject& object, const Path& path, Json::Kind kind, std::string_view expected,
                      Validation& v) {
    const Json* value = object.find(path.key);
    if (value && value->kind() != kind) v.wrong_type(path, expected);
}

void optional_string_null_as_absent(JsonObject& object, const Path& path, Validation& v) {
    const Json* value = object.find(path.key);
    if (!value || value->is_string()) return;
    if (value->is_null()) {
        object.erase(path.key);
        return;
    }
    v.wrong_type(path, kStringWord);
}

void normalize_retryable(JsonObject& object) {
    Json* value = object.find("retryable");
    if (!value) return object.set(JsonString("retryable"), Json(false));
    if (!value->is_bool()) *value = Json(false);
}

namespace {

// The value as a signed 64-bit integer, when it is an integral number in that range.
std::optional<std::int64_t> integral_i64(const Json& value) {
    switch (value.kind()) {
        case Json::Kind::Int: return value.as_int();
        case Json::Kind::UInt:
            if (value.as_uint() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) break;
            return static_cast<std::int64_t>(value.as_uint());
        case Json::Kind::Float: {
            const double d = value.as_float();
            // [-2^63, 2^63): both bounds are exact doubles.
            if (d >= -9223372036854775808.0 && d < 9223372036854775808.0 && std::trunc(d) == d)
                return static_cast<std::int64_t>(d);
            break;
        }
        default: break;
    }
    return std::nullopt;
}

}  // namespace

void normalize_retry_after(JsonObject& object) {
    Json* value = object.find("retry_after");
    if (!value) return;
    const auto integral = integral_i64(*value);
    if (!integral) *value = Json();
    else if (value->kind() == Json::Kind::Float) *value = Json(*integral);
}

namespace {

// A boolean's value; nothing for null or absent; wrong type reported for anything else.
std::optional<bool> alias_flag(const JsonObject& object, std::string_view key, Validation& v) {
    const Json* value = object.find(key);
    if (!value || value->is_null()) return std::nullopt;
    if (value->is_bool()) return value->as_bool();
    v.wrong_type(key, "boolean");
    return std::nullopt;
}

}  // namespace

void normalize_remote_alias(JsonObject& object, Validation& v) {
    const std::optional<bool> remote = alias_flag(object, "is_remote", v);
    const std::optional<bool> external = alias_flag(object, "is_external", v);
    if (remote && !external) object.set(JsonString("is_external"), Json(*remote));
    if (external && !remote) object.set(JsonString("is_remote"), Json(*external));
}

void run_rules(JsonObject& object, FieldRules rules, Validation& v, std::string_view parent, std::size_t index) {
    for (const FieldRule& field : rules) {
        const Path path(parent, index, field.key);
        switch (field.rule) {
            case Rule::RequiredString: require_string(object, path, v); break;
            case Rule::RequiredNullableString: require_nullable_string(object, path, v); break;
            case Rule::ClosedString: require_closed_string(object, path, field.allowed, v); break;
            case Rule::NullableString: optional_string(object, path, true, v); break;
            case Rule::String: optional_string(object, path, false, v); break;
            case Rule::Boolean: optional_of_kind(object, path, Json::Kind::Bool, "boolean", v); break;
            case Rule::Array: optional_of_kind(object, path, Json::Kind::Array, "array", v); break;
            case Rule::NullAsAbsentString: optional_string_null_as_absent(object, path, v); break;
            case Rule::RemoteAlias: normalize_remote_alias(object, v); break;
            case Rule::Retryable: normalize_retryable(object); break;
            case Rule::RetryAfter: normalize_retry_after(object); break;
        }
    }
}

}  // namespace qsc::events
