// WildcardPattern: one "*" entry of a removal list, turned into a regular
// expression in ICU syntax and compiled once for a whole request. The entry
// is wrapped in "^" and "$", every "." becomes "\." and every "*" becomes
// ".*"; every other character keeps its regular-expression meaning, so
// "file(1)*" is a group and an entry that is not a valid expression matches
// nothing. An entry matches a name when the expression has at least one
// match in it (ICU find(), no options: case-sensitive, "." stops at line
// ends, "$" also matches before a final line terminator).
//
// Entries of literal text and "*" alone are matched by LiteralGlob, which
// agrees with ICU on every name and is several times faster; others by ICU,
// compiled once.
//
// A WildcardPattern keeps its matcher's state between calls: use each one
// from one thread at a time.
#ifndef QUILLFEN_REMOVAL_SERVICE_WILDCARD_PATTERN_H_
#define QUILLFEN_REMOVAL_SERVICE_WILDCARD_PATTERN_H_

#include <unicode/regex.h>
#include <unicode/utext.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "removal-service/literal_glob.h"

namespace quillfen {

class WildcardPattern {
 public:
  // kIcu forces the regular-expression engine, to check the fast path.
  enum class Engine { kFastest, kIcu };

  explicit WildcardPattern(std::string_view entry,
                           Engine engine = Engine::kFastest);
  ~WildcardPattern();
  WildcardPattern(WildcardPattern&& other) noexcept;
  WildcardPattern& operator=(WildcardPattern&& other) noexcept;
  WildcardPattern(const WildcardPattern&) = delete;
  WildcardPattern& operator=(const WildcardPattern&) = delete;

  // The regular expression an entry stands for: '*.tmp' gives '^.*\.tmp$'.
  static std::string ExpressionFor(std::string_view entry);

  // Whether the expression has a match in |utf8_text|.
  bool Matches(std::string_view utf8_text);

  // False when the expression did not compile; it then matches nothing.
  bool compiled() const { return glob_ || matcher_ != nullptr; }
  bool uses_fast_path() const { return glob_.has_value(); }

 private:
  bool MatchesWithIcu(std::string_view utf8_text);
  void Compile();

  std::string entry_;
  std::optional<LiteralGlob> glob_;
  std::unique_ptr<icu::RegexPattern> pattern_;
  std::unique_ptr<icu::RegexMatcher> matcher_;
  UText* text_ = nullptr;  // Reused for every name, never copied.
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_SERVICE_WILDCARD_PATTERN_H_
