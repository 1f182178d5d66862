// Globs as a person types them for -n, -e and -k, read exactly as
// fnmatch(3) reads them without flags (or with FNM_CASEFOLD for -i) in the
// C.UTF-8 locale: "*", "?", bracket expressions with every quirk of the C
// library's (a "]" first is literal, "!" or "^" negates, classes,
// "[=c=]" and "[.c.]", an unterminated "[" is literal), backslash escapes,
// every other character literal. Characters are Unicode code points.
//
// A glob becomes an ICU expression that matches from a name's start to its
// very end exactly the names fnmatch matches, and then a wildcard entry of
// the request, which the engine reads its own way ("." escaped, "*" as
// ".*", wrapped in "^" and "$"). So the expressions here hold no "." and
// no "*" at all: characters are written "\x{2E}" and sets, quantifiers
// "{0,}", any character "\p{Any}" (line terminators included), and the
// end "\z" (the engine's "$" would also accept a final line feed). An entry
// opens with "(?:*){0}", which matches nothing but makes it a wildcard.
//
// Names that aren't valid UTF-8 are never removed (no reply could name
// them); the engine reads each ill-formed sequence in them as U+FFFD, where
// fnmatch falls back to bytes, so only whether they count as selected may
// differ. A glob that isn't UTF-8 can't be compiled.
//
// Pure functions, safe from any thread (the locale's tables are read once).
#ifndef QUILLFEN_CLIENT_GLOB_ENTRY_H_
#define QUILLFEN_CLIENT_GLOB_ENTRY_H_

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"

namespace quillfen {

enum class GlobCase { kExact, kIgnore };

// The expression for |glob|, or why it has none (not UTF-8, or so tangled
// that its expression would be huge).
Result<std::string> GlobExpression(std::string_view glob, GlobCase glob_case);

// The one name |glob| matches when it holds no "*", "?", "[" or "\": then
// an exact entry means the same (and travels as itself).
std::optional<std::string> GlobLiteral(std::string_view glob);

// Whether |glob| matches the empty text: when it is only stars.
bool GlobMatchesEmpty(std::string_view glob);

// The expression for a whole name whose extension (as the engine takes it:
// the text after the last dot, empty when there is none or the only dot
// opens the name) |extension_expression| matches; |matches_empty| tells
// whether that expression matches an empty extension.
std::string ExtensionNameExpression(std::string_view extension_expression,
                                    bool matches_empty);

// The wildcard entry for |expression|, less every name one of
// |keep_expressions| matches.
std::string WildcardEntry(std::string_view expression,
                          std::span<const std::string> keep_expressions = {});

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_GLOB_ENTRY_H_
