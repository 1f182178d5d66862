// What every fuzz target does when an invariant breaks: says which one on
// standard error and stops, so that libFuzzer keeps the input as a crash.
#ifndef QUILLFEN_FUZZ_FUZZ_CHECK_H_
#define QUILLFEN_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                         \
  do {                                                                \
    if (!(condition)) {                                               \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, \
                   __LINE__, #condition);                             \
      std::abort();                                                   \
    }                                                                 \
  } while (false)

#endif  // QUILLFEN_FUZZ_FUZZ_CHECK_H_
