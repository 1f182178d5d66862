// A fatal assertion: when |condition| does not hold, writes what failed,
// where (the method, the source file and line) and the condition's text,
// then stops the process. Safe from any thread.
#ifndef QUILLFEN_PLATFORM_ASSERTION_H_
#define QUILLFEN_PLATFORM_ASSERTION_H_

namespace quillfen {

[[noreturn]] void AssertionFailure(const char* method, const char* file,
                                   int line, const char* description);

}  // namespace quillfen

#define QUILLFEN_ASSERT(condition, method, description)                      \
  do {                                                                       \
    if (!(condition)) {                                                      \
      ::quillfen::AssertionFailure(method, __FILE__, __LINE__, description); \
    }                                                                        \
  } while (false)

#endif  // QUILLFEN_PLATFORM_ASSERTION_H_
