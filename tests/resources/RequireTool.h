// Tests that need an outside reader tool skip without it, except under CI,
// where a missing tool fails the test.
#pragma once

#include "support/TestFiles.h"

#include <gtest/gtest.h>

#define PAKFORGE_REQUIRE_TOOL(available, what)                                                               \
    do {                                                                                                     \
        if (!(available)) PAKFORGE_SKIP_WITHOUT_TOOL((what) << " is not available");                         \
    } while (0)
