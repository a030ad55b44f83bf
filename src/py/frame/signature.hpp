// A callable's parameter table, parsed once from its text signature, and the one matcher that
// turns (args, nargs, kwnames) into parameter slots with the interpreter's own error texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "py/frame/python.hpp"

namespace qsc::py {

inline constexpr int kMaxParams = 8;

enum class Callable : std::uint8_t { Function, Method, Constructor };

// What the matcher does with a keyword that names no parameter: refuse it with the
// interpreter's error, or let it through for the binding to judge (`Args::for_each_extra`).
enum class ExtraKeywords : std::uint8_t { Refuse, Collect };

class Signature {
public:
    // `text` is the text signature ("f(a, b=None)", "m($self, a, *, b=False)", "Class(a)");
    // `body` the documentation that follows it. Both must have static storage duration.
    Signature(Callable kind, std::string_view owner, std::string_view text, std::string_view body,
              ExtraKeywords extra = ExtraKeywords::Refuse);
    Signature(const Signature&) = delete;
    Signature& operator=(const Signature&) = delete;

    const char* name() const noexcept { return name_.c_str(); }
    const char* doc() const noexcept { return doc_.c_str(); }
    const char* qualname() const noexcept { return qualname_.c_str(); }
    int size() const noexcept { return count_; }
    std::string_view param(int i) const noexcept { return params_[i].name; }

    // Fills out[0..size()) with borrowed arguments (nullptr where absent); false with
    // TypeError set when the call does not fit.
    bool match(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;

    // Whether `nargs` positional arguments, and no keywords, fill every parameter.
    bool all_positional(Py_ssize_t nargs) const noexcept { return nargs == count_ && count_ == max_positional_; }

    // The parameter a keyword names, or -1.
    int find(PyObject* keyword) const;

private:
    struct Param {
        std::string_view name;
        int slot = 0;  // the interned name's, in the interpreter's cache
        bool required = false;
        bool keyword_only = false;
        bool positional_only = false;
    };

    bool missing(PyObject** out) const;

    std::string name_;
    std::string qualname_;
    std::string doc_;
    Param params_[kMaxParams];
    std::uint8_t count_ = 0;
    std::uint8_t max_positional_ = 0;
    std::uint8_t min_positional_ = 0;
    bool required_keywords_ = false;  // a keyword-only parameter without a default
    ExtraKeywords extra_;
};

}  // namespace qsc::py
