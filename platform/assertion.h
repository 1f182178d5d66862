// A fatal assertion: when |condition| does not hold, writes what failed,
// where (the method, the source file and line) and the condition's text,
// then stops the process. Safe from any thread.
#ifndef QUILLFEN_PLATFORM_ASSERTION_H_
#define QUILLFEN_PLATFORM_ASSERTION_H_

namespace quillfen {

// Where an assertion stands, as its failure reports it.
struct AssertionSite {
  const char* file;
  int line;
};

[[noreturn]] void AssertionFailure(const char* method, AssertionSite site,
                                   const char* description);

}  // namespace quillfen

#define QUILLFEN_ASSERT(condition, method, description)               \
  QUILLFEN_ASSERT_AT(condition, method,                               \
                     (::quillfen::AssertionSite{__FILE__, __LINE__}), \
                     description)

// The same, reporting |site| rather than the line it stands on.
#define QUILLFEN_ASSERT_AT(condition, method, site, description) \
  do {                                                           \
    if (!(condition)) {                                          \
      ::quillfen::AssertionFailure(method, site, description);   \
    }                                                            \
  } while (false)

#endif  // QUILLFEN_PLATFORM_ASSERTION_H_
