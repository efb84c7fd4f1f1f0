// The kernel tests' one assertion: a failed CHECK is printed and counted,
// and the test's main() returns finish() as its exit status.
#pragma once

#include <cstdio>

namespace kernel_test {
inline int g_failures = 0;

inline int finish() {
    if (g_failures) std::fprintf(stderr, "%d check(s) failed\n", g_failures);
    return g_failures ? 1 : 0;
}
}  // namespace kernel_test

#define CHECK(cond)                                                                         \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);  \
            ++kernel_test::g_failures;                                                      \
        }                                                                                   \
    } while (0)
