#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant ends the run at once, so that libFuzzer keeps the input
// that broke it and the corpus replay fails.
#define FUZZ_CHECK(condition, what)                                                        \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "%s:%d: invariant broken: %s (%s)\n", __FILE__, __LINE__, what, \
                   #condition);                                                            \
      std::abort();                                                                        \
    }                                                                                      \
  } while (false)
