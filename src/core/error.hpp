// The one error of the core: an ordered list of issues plus an opaque trace context.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/enums.hpp"

namespace qsc {

// Joins message pieces in one allocation.
std::string cat(std::initializer_list<std::string_view> parts);


struct Issue {
    std::string path;
    IssueCode code;
    std::string message;
};

using TraceContext = std::optional<std::string_view>;

struct CoreError {
    std::vector<Issue> issues;
    std::optional<std::string> trace_context;

    CoreError(std::vector<Issue> list, TraceContext trace);
    CoreError(Issue issue, TraceContext trace);

    // "{n} validation issue(s): {first message} ({first path})"
    std::string text() const;
    // For logs: CoreError { issues: [...], trace_context: ... }
    std::string debug() const;
};

// Raised only for states the core treats as impossible; the boundary turns it into a panic.
class InvariantError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

[[noreturn]] void invariant_failed(const char* what);

#define QSC_ASSERT(cond, what)                   \
    do {                                          \
        if (!(cond)) ::qsc::invariant_failed(what); \
    } while (0)

// A value or the CoreError that prevented it.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(CoreError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    CoreError& error() { return std::get<1>(v_); }
    const CoreError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, CoreError> v_;
};

}  // namespace qsc
