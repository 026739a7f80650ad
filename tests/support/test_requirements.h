// What a test does when it cannot run for a missing tool, privilege or fixture. The test command
// and CI set VENDREL_STRICT=1: then such a test fails with the reason, so that nothing counts as
// passed that did not run. Otherwise (a developer's quick run) it is skipped with the reason.
// A case that does not exist on the other build is not a missing requirement: leave it out of
// that build instead.
#pragma once

#include <gtest/gtest.h>

// True when VENDREL_STRICT is 1.
bool IsStrictTestRun();

// Ends the running test: a failure in strict mode, a skip otherwise. Use it in the test body
// (or a function returning void), as GTEST_SKIP() and FAIL() are.
#define VENDREL_CANNOT_RUN(reason)                                                                 \
    do                                                                                             \
    {                                                                                              \
        if (IsStrictTestRun())                                                                     \
        {                                                                                          \
            FAIL() << "cannot run in strict mode: " << reason;                                     \
        }                                                                                          \
        else                                                                                       \
        {                                                                                          \
            GTEST_SKIP() << reason;                                                                \
        }                                                                                          \
    } while (0)
