// The C++ tests' checks: each failed one is printed with its line, and the run ends with the
// plain closing line that CI reads.
#pragma once

#include <cstdio>

namespace check {

inline int failed = 0;
inline int passed = 0;

inline void record(bool ok, const char* what, int line) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED line %d: %s\n", line, what);
    }
}

// "N passed, N failed"; the exit status of the run.
inline int finish() {
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace check

#define CHECK(cond) ::check::record((cond), #cond, __LINE__)
