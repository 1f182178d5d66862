// How quillfen-remove lists the paths a removal took (--verbose,
// --print0): one to a line, for a person, with every control character
// written as a backslash escape so that a name can neither break the
// listing into lines nor move the terminal's cursor; or each followed by a
// NUL, for a program, byte for byte as the reply gives them. Pure
// functions: safe from any thread.
#ifndef QUILLFEN_CLIENT_PATH_LISTING_H_
#define QUILLFEN_CLIENT_PATH_LISTING_H_

#include <ostream>
#include <string>
#include <string_view>

#include "protocol/value.h"

namespace quillfen {

// |text| with "\\" for a backslash, "\n", "\t" and "\r" for those
// characters, "\xHH" for every other byte below 0x20 and for DEL, and
// "\u0080" to "\u009F" for the C1 controls; other text as it is.
std::string EscapeControlCharacters(std::string_view text);

// The strings of |paths|, escaped, each on a line of its own.
void WritePathLines(const Array& paths, std::ostream& out);
// The strings of |paths| as they are, each followed by a NUL.
void WriteNulTerminatedPaths(const Array& paths, std::ostream& out);

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_PATH_LISTING_H_
