// For tests that need something from outside this tree: the INF corpus, the Windows build, Wine.
// Without it such a test is skipped with the reason, so that each preset passes on its own; with
// SPR_NO_SKIPS set in the environment (scripts/test.sh sets it) the skip is a failure instead, so
// that CI never passes by leaving a suite out.
#pragma once

#include <cstdlib>

#include <gtest/gtest.h>

inline bool SkipsAreFailures() {
  const char* value = std::getenv("SPR_NO_SKIPS");
  return value != nullptr && *value != '\0';
}

#define SPR_REQUIRE(condition, reason)                  \
  do {                                                  \
    if (!(condition)) {                                 \
      if (SkipsAreFailures()) FAIL() << (reason);       \
      GTEST_SKIP() << (reason);                         \
    }                                                   \
  } while (false)
