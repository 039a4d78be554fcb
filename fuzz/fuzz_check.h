// What a fuzz target does when a property fails: says which and aborts, so that libFuzzer (or
// the corpus replay test) reports the input as a finding.
#pragma once

#include <cstdio>
#include <cstdlib>

#define R9_FUZZ_CHECK(cond)                                                            \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)
