// One nesting level of a conversion between Python objects and JSON values, counted against a
// limit of its own and against the interpreter's recursion limit.
#pragma once

#include "py/frame/python.hpp"

namespace qsc::py {

class Nesting {
public:
    // Refused at `limit` levels (no exception set) or at the interpreter's limit (its
    // RecursionError set).
    Nesting(int& depth, int limit) noexcept : depth_(depth) {
        if (depth_ >= limit || Py_EnterRecursiveCall(" while converting a JSON value")) return;
        ++depth_;
        entered_ = true;
    }
    ~Nesting() {
        if (!entered_) return;
        --depth_;
        Py_LeaveRecursiveCall();
    }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;
    explicit operator bool() const noexcept { return entered_; }

private:
    int& depth_;
    bool entered_ = false;
};

}  // namespace qsc::py
