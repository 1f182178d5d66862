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
// A backtracking engine may take time that grows as the name's length to
// the power of the number of "*" ("*a*a*a*a*a*c" against a 250-byte name
// runs for hours), and an entry's author can't see that coming. So ICU gets a
// budget per name far beyond any reasonable entry's need; a name it can't
// settle within the budget does not match (a removal errs towards keeping),
// and gave_up() tells, so that the reply can say so. Its backtracking memory is
// bounded the same way (running out answers no as well): ICU's own bound lets
// an entry like "++" fill 8 MB per name.
//
// A stop of the request (RemovalProgress) ends ICU's work too: ICU calls
// back between its steps, never per name, and a stop answers no at once,
// so however many entries backtrack, a stop takes effect within a step.
//
// A WildcardPattern keeps its matcher's state between calls: use each one
// from one thread at a time.
#ifndef QUILLFEN_REMOVAL_ENGINE_WILDCARD_PATTERN_H_
#define QUILLFEN_REMOVAL_ENGINE_WILDCARD_PATTERN_H_

#include <unicode/regex.h>
#include <unicode/utext.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/removal_progress.h"
#include "removal-engine/literal_glob.h"

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

  // From now on a stop asked of |progress| (which must outlive the
  // pattern's use) ends a match in progress: it answers no, and stopped()
  // tells.
  void WatchForStop(const RemovalProgress* progress);

  // False when the expression did not compile; it then matches nothing.
  bool compiled() const { return glob_ || matcher_ != nullptr; }
  bool uses_fast_path() const { return glob_.has_value(); }
  // Whether the last Matches() answered no because ICU ran out of time or
  // memory, or was stopped.
  bool gave_up() const { return gave_up_; }
  // Whether the last Matches() answered no because the request was
  // stopped (then gave_up() too).
  bool stopped() const { return stopped_; }
  // The entry as the request gave it.
  const std::string& entry() const { return entry_; }

  // ICU's budget per name, in its own steps (each ten thousand moves of its
  // engine, a fraction of a millisecond).
  static constexpr int kIcuStepLimit = 100;
  // Bytes of backtracking state per name: a 255-byte name needs a few KB.
  static constexpr int kIcuStackLimit = 1 << 20;

 private:
  bool MatchesWithIcu(std::string_view utf8_text);
  void Compile();
  // ICU's call between its steps: false ends the match.
  static UBool GoOn(const void* progress, int32_t steps);

  std::string entry_;
  std::optional<LiteralGlob> glob_;
  std::unique_ptr<icu::RegexPattern> pattern_;
  std::unique_ptr<icu::RegexMatcher> matcher_;
  UText* text_ = nullptr;  // Reused for every name, never copied.
  bool gave_up_ = false;
  bool stopped_ = false;
  const RemovalProgress* progress_ = nullptr;
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_WILDCARD_PATTERN_H_
