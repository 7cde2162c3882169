// Tests that need an outside reader tool skip without it, except under CI
// (the CI environment variable set), where a missing tool fails the test: a
// green CI run means the independent readers ran.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

namespace pakforge::test {

inline bool underCi() {
    const char* ci = std::getenv("CI");
    return ci && *ci;
}

} // namespace pakforge::test

#define PAKFORGE_REQUIRE_TOOL(available, what)                                                               \
    do {                                                                                                     \
        if (!(available)) {                                                                                  \
            if (::pakforge::test::underCi()) FAIL() << (what) << " is missing (required under CI)";          \
            GTEST_SKIP() << (what) << " is not available";                                                   \
        }                                                                                                    \
    } while (0)
