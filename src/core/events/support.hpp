// The issue accumulator and the field checks every event validator is written with. A check
// records an issue and returns; it never stops the pass, so one pass reports every problem.
//
// Validators check and normalise the payload object in place: each check reads a field before
// any normalisation writes it, so the result is the same as reading a pristine source while
// writing a copy, without the copy.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/json.hpp"

namespace qsc::events {

// Where a field sits: a bare key, or `key` of element `index` of the array at `parent`
// ("metadata.mentions[2].id"). Turned into text only when an issue is reported.
struct Path {
    std::string_view key;
    std::string_view parent{};
    std::size_t index = 0;

    constexpr Path(std::string_view k) noexcept : key(k) {}
    constexpr Path(const char* k) noexcept : key(k) {}
    constexpr Path(std::string_view p, std::size_t i, std::string_view k = {}) noexcept : key(k), parent(p), index(i) {}

    std::string text() const;
};

class Validation {
public:
    // `path` is copied, `message` taken over.
    void push(std::string_view path, IssueCode code, std::string message);
    // "`{path}` must be a|an {expected}"
    void wrong_type(const Path& path, std::string_view expected);
    // "required field `{path}` is missing"
    void missing(const Path& path);

    bool ok() const noexcept { return issues_.empty(); }
    const std::vector<Issue>& issues() const noexcept { return issues_; }
    // The issues found as an error carrying `trace`, or nothing when there were none.
    std::optional<CoreError> finish(TraceContext trace) &&;

private:
    std::vector<Issue> issues_;
};

// Field checks. Each looks its key up once, exactly (case-sensitive, no trimming).
void require_string(const JsonObject& object, const Path& path, Validation& v);
void require_nullable_string(const JsonObject& object, const Path& path, Validation& v);
void require_closed_string(const JsonObject& object, const Path& path, std::span<const std::string_view> allowed,
                           Validation& v);
// Present values only: anything but a string (or null, where allowed) is the wrong type.
void optional_string(const JsonObject& object, const Path& path, bool null_allowed, Validation& v);
void optional_of_kind(const JsonObject& object, const Path& path, Json::Kind kind, std::string_view expected,
                      Validation& v);

// Normalisations.
// Null is removed (treated as absent); anything but a string is the wrong type and stays.
void optional_string_null_as_absent(JsonObject& object, const Path& path, Validation& v);
// "retryable" is always present afterwards: true only when it was the boolean true.
void normalize_retryable(JsonObject& object);
// "retry_after", when present, becomes a signed 64-bit integer when its value is one, else null.
void normalize_retry_after(JsonObject& object);
// "is_remote" and "is_external" name one boolean: the missing one is filled in from the other.
void normalize_remote_alias(JsonObject& object, Validation& v);

// The rules a field can be held to, so that simple validators are tables.
enum class Rule : std::uint8_t {
    RequiredString,
    RequiredNullableString,
    ClosedString,      // required, one of `allowed`
    NullableString,    // optional; null or string
    String,            // optional; null rejected
    Boolean,           // optional; null rejected
    Array,             // optional; null rejected
    NullAsAbsentString,
    RemoteAlias,       // the key is "is_remote"; "is_external" is its alias
    Retryable,
    RetryAfter,
};

struct FieldRule {
    std::string_view key;
    Rule rule;
    std::span<const std::string_view> allowed{};
};

using FieldRules = std::span<const FieldRule>;

// Runs the rules in order over `object`. With a `parent`, paths read "{parent}[{index}].{key}".
void run_rules(JsonObject& object, FieldRules rules, Validation& v, std::string_view parent = {},
               std::size_t index = 0);

}  // namespace qsc::events
