// The JSON value model of every payload and free-form argument. Objects keep their keys in
// ascending byte order, whatever order they arrived in.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace qsc {

// A string plus an opaque handle to where it came from. The core never interprets the handle;
// it lets the host hand back the original immutable string instead of building a new one.
// The text is owned, or borrowed (`borrowed`) from a host string that the host keeps alive for
// as long as the value is used: a payload is then read without copying a byte of it.
class JsonString {
public:
    const void* origin = nullptr;

    JsonString() noexcept = default;
    JsonString(std::string_view t, const void* o = nullptr) : origin(o) { assign(t); }
    JsonString(const char* t) : JsonString(std::string_view(t)) {}
    JsonString(const std::string& t, const void* o = nullptr) : JsonString(std::string_view(t), o) {}
    static JsonString borrowed(std::string_view t, const void* o) noexcept {
        JsonString s;
        s.borrow(t, o);
        return s;
    }
    // Becomes a borrowed string in place.
    void borrow(std::string_view t, const void* o) noexcept {
        if (owned_) delete[] data_;
        data_ = t.data();
        size_ = t.size();
        owned_ = false;
        origin = o;
    }

    JsonString(const JsonString& other) : origin(other.origin) {
        if (other.owned_) assign(other.text());
        else data_ = other.data_, size_ = other.size_;
    }
    JsonString(JsonString&& other) noexcept
        : origin(other.origin), data_(other.data_), size_(other.size_), owned_(other.owned_) {
        other.data_ = "";
        other.size_ = 0;
        other.owned_ = false;
    }
    JsonString& operator=(JsonString other) noexcept {
        swap(other);
        return *this;
    }
    ~JsonString() {
        if (owned_) delete[] data_;
    }

    std::string_view text() const noexcept { return {data_, size_}; }

private:
    void assign(std::string_view t);
    void swap(JsonString& other) noexcept;

    const char* data_ = "";
    std::size_t size_ : 63 = 0;
    std::size_t owned_ : 1 = false;
};

// Byte-wise order of keys, as std::string_view's, with the first eight bytes compared as one
// word: object keys mostly differ there, and sorting and lookups do little else.
inline bool text_less(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    if (n >= 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a.data(), 8);
        std::memcpy(&y, b.data(), 8);
        if constexpr (std::endian::native == std::endian::little) x = __builtin_bswap64(x), y = __builtin_bswap64(y);
        if (x != y) return x < y;
        return a.substr(8) < b.substr(8);
    }
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    return a.size() < b.size();
}

// Byte equality, a word at a time up to sixteen bytes.
inline bool text_equal(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    if (n >= 8 && n <= 16) {
        std::uint64_t x0, y0, x1, y1;
        std::memcpy(&x0, a.data(), 8);
        std::memcpy(&y0, b.data(), 8);
        std::memcpy(&x1, a.data() + n - 8, 8);
        std::memcpy(&y1, b.data() + n - 8, 8);
        return ((x0 ^ y0) | (x1 ^ y1)) == 0;
    }
    if (n < 8) {
        for (std::size_t i = 0; i < n; ++i)
            if (a[i] != b[i]) return false;
        return true;
    }
    return std::memcmp(a.data(), b.data(), n) == 0;
}

class Json;
struct JsonMember;
using JsonArray = std::vector<Json>;

class JsonObject {
public:
    JsonObject() = default;
    // Sorts by key; of duplicate keys the last one given wins.
    static JsonObject from_members(std::vector<JsonMember>&& members);
    // Members whose keys the caller has put in ascending order, without duplicates.
    static JsonObject from_sorted(std::vector<JsonMember>&& members) noexcept {
        JsonObject object;
        object.members_ = std::move(members);
        return object;
    }

    const Json* find(std::string_view key) const noexcept;
    Json* find(std::string_view key) noexcept;
    // Inserts or replaces, keeping the order.
    void set(JsonString key, Json value);
    bool erase(std::string_view key);

    std::size_t size() const noexcept { return members_.size(); }
    bool empty() const noexcept { return members_.empty(); }
    auto begin() const noexcept { return members_.begin(); }
    auto end() const noexcept { return members_.end(); }
    // Mutable members: values may change, keys must keep their text.
    auto begin() noexcept { return members_.begin(); }
    auto end() noexcept { return members_.end(); }

private:
    std::vector<JsonMember>::iterator lower_bound(std::string_view key) noexcept;
    std::vector<JsonMember> members_;
};

class Json {
public:
    enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Float, String, Array, Object };

    Json() noexcept = default;
    Json(std::nullptr_t) noexcept {}
    explicit Json(bool b) noexcept : v_(b) {}
    explicit Json(std::uint64_t u) noexcept : v_(u) {}
    // Negative values are signed; the rest unsigned, so one number has one form.
    explicit Json(std::int64_t i) noexcept {
        if (i < 0) v_ = i;
        else v_ = static_cast<std::uint64_t>(i);
    }
    // Non-finite floats do not exist in the model: they become null.
    explicit Json(double d) noexcept;
    Json(JsonString s) : v_(std::move(s)) {}
    explicit Json(const char* s) : v_(JsonString(s)) {}
    Json(JsonArray a) : v_(std::move(a)) {}
    Json(JsonObject o) : v_(std::move(o)) {}

    Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
    bool is_null() const noexcept { return kind() == Kind::Null; }
    bool is_bool() const noexcept { return kind() == Kind::Bool; }
    bool is_string() const noexcept { return kind() == Kind::String; }
    bool is_number() const noexcept { return kind() == Kind::UInt || kind() == Kind::Int || kind() == Kind::Float; }
    bool is_array() const noexcept { return kind() == Kind::Array; }
    bool is_object() const noexcept { return kind() == Kind::Object; }

    bool as_bool() const { return std::get<bool>(v_); }
    std::uint64_t as_uint() const { return std::get<std::uint64_t>(v_); }
    std::int64_t as_int() const { return std::get<std::int64_t>(v_); }
    double as_float() const { return std::get<double>(v_); }
    // Replaces the value by an empty string and returns it, to be filled in place.
    JsonString& emplace_string() { return v_.emplace<JsonString>(); }
    const JsonString& as_string() const { return std::get<JsonString>(v_); }
    JsonString& as_string() { return std::get<JsonString>(v_); }
    const JsonArray& as_array() const { return std::get<JsonArray>(v_); }
    JsonArray& as_array() { return std::get<JsonArray>(v_); }
    const JsonObject& as_object() const { return std::get<JsonObject>(v_); }
    JsonObject& as_object() { return std::get<JsonObject>(v_); }

    // The string value, or nothing.
    const JsonString* string_if() const noexcept { return std::get_if<JsonString>(&v_); }
    const JsonObject* object_if() const noexcept { return std::get_if<JsonObject>(&v_); }
    JsonObject* object_if() noexcept { return std::get_if<JsonObject>(&v_); }
    const JsonArray* array_if() const noexcept { return std::get_if<JsonArray>(&v_); }

private:
    std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, JsonString, JsonArray, JsonObject> v_;
};

struct JsonMember {
    JsonString key;
    Json value;
};

}  // namespace qsc
