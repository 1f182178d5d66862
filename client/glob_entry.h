// A glob as a person types it for -n, -e and -k, read exactly as fnmatch(3)
// reads it in the C.UTF-8 locale (no flags, or FNM_CASEFOLD for -i), with
// every quirk of the C library's brackets, becomes an ICU expression that
// matches exactly those names, whole, and then a wildcard entry of the
// request. The engine rewrites an entry ("." escaped, "*" as ".*", "^…$"
// around), so the expressions hold no "." and no "*": "\x{2E}", "{0,}",
// "\p{Any}" for any character (a line feed too), "\z" for the end ("$"
// allows a final line feed); an entry opens with "(?:*){0}", which takes
// no text but makes it a wildcard.
//
// Names that aren't UTF-8 are never removed (no reply can name them) and
// may count as selected otherwise than fnmatch says: the engine reads their
// bad bytes as U+FFFD. The C library also tries a name's bytes when its
// characters don't match ("??" matches "é"); that reading is not copied.
//
// Pure functions, safe from any thread.
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
