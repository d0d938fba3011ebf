// The checks every native unit test uses: a failed expectation is printed
// with its place and counted; `finish()` is the test program's exit code.
#pragma once

#include <cstdio>
#include <string>

inline int failures = 0;

#define EXPECT(cond)                                                                 \
    do {                                                                             \
        if (!(cond)) {                                                               \
            std::fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

#define EXPECT_EQ(actual, expected)                                                     \
    do {                                                                                \
        if ((actual) != (expected)) {                                                   \
            std::fprintf(stderr, "%s:%d: got '%s', expected '%s'\n", __FILE__, __LINE__, \
                         std::string(actual).c_str(), std::string(expected).c_str());    \
            ++failures;                                                                 \
        }                                                                               \
    } while (0)

inline int finish() {
    if (failures) std::fprintf(stderr, "%d failure(s)\n", failures);
    return failures ? 1 : 0;
}
