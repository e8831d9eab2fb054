// FUZZ_CHECK(condition): the property check of the libFuzzer targets. A property that does not
// hold prints what failed and aborts, so libFuzzer reports it like a crash and keeps the input.
//
//   FUZZ_CHECK(length <= bytes.size());
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "property failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (false)
