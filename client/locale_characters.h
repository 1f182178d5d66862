// What the C library's C.UTF-8 locale says of characters, asked the way
// fnmatch(3) asks it there: a character's folded case (towlower, which
// FNM_CASEFOLD compares), the members of a class ("[:alpha:]"), and which
// characters the collation sequence that ranges follow knows. Globs mean
// what they mean in this locale whatever the person's own, so that a glob
// selects the same names everywhere.
//
// The tables are made once, when first needed (the classes under a lock):
// safe from any thread.
#ifndef QUILLFEN_CLIENT_LOCALE_CHARACTERS_H_
#define QUILLFEN_CLIENT_LOCALE_CHARACTERS_H_

#include <string>

#include "client/code_point_set.h"

namespace quillfen {

// The collation sequence knows the code points below this one, in their
// order, and no other.
inline constexpr char32_t kCollationTableEnd = 0x100;

// Whether the locale is installed; nothing below means anything without.
bool HaveUtf8Locale();

char32_t FoldedCase(char32_t c);

// The characters whose folded case is in |folded|.
CodePointSet CharactersFoldingInto(const CodePointSet& folded);

// The members of the class |name|, or nullptr when the locale has none of
// that name.
const CodePointSet* ClassMembers(const std::string& name);

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_LOCALE_CHARACTERS_H_
