// SystemErrorText: an errno in the system's own words ("No such file or
// directory"), the one way code in this system turns an errno into text,
// so that a cause reads the same in a reply, a log line and a test's
// failure. It keeps no state and writes into its own buffer, unlike
// strerror(): safe from any thread.
#ifndef QUILLFEN_BASE_ERROR_TEXT_H_
#define QUILLFEN_BASE_ERROR_TEXT_H_

#include <string.h>

#include <string>

namespace quillfen {

inline std::string SystemErrorText(int error) {
  char buffer[256];
  // The GNU strerror_r answers a pointer that may or may not be |buffer|.
  return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace quillfen

#endif  // QUILLFEN_BASE_ERROR_TEXT_H_
