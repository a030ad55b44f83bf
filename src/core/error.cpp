#include "core/error.hpp"

namespace qsc {

std::string cat(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (std::string_view part : parts) size += part.size();
    std::string out;
    out.reserve(size);
    for (std::string_view part : parts) out += part;
    return out;
}

namespace {
std::optional<std::string> own(TraceContext trace) {
    if (!trace) return std::nullopt;
    return std::string(*trace);
}
}  // namespace

CoreError::CoreError(std::vector<Issue> list, TraceContext trace)
    : issues(std::move(list)), trace_context(own(trace)) {}

CoreError::CoreError(Issue issue, TraceContext trace) : trace_context(own(trace)) {
    issues.push_back(std::move(issue));
}

std::string CoreError::text() const {
    std::string out = std::to_string(issues.size()) + " validation issue(s)";
    if (!issues.empty()) {
        const Issue& first = issues.front();
        out += ": ";
        out += first.message;
        out += " (";
        out += first.path;
        out += ")";
    }
    return out;
}

std::string CoreError::debug() const {
    std::string out = "CoreError { issues: [";
    for (std::size_t i = 0; i < issues.size(); ++i) {
        const Issue& issue = issues[i];
        if (i) out += ", ";
        out += "Issue { path: \"" + issue.path + "\", code: ";
        out += ClosedSet<IssueCode>::variants[static_cast<int>(issue.code)].name;
        out += ", message: \"" + issue.message + "\" }";
    }
    out += "], trace_context: ";
    out += trace_context ? "Some(\"" + *trace_context + "\")" : std::string("None");
    out += " }";
    return out;
}

void invariant_failed(const char* what) { throw InvariantError(what); }

}  // namespace qsc
