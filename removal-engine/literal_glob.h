// LiteralGlob: the fast path for wildcard entries made only of literal text
// and "*", matched without the regular-expression engine but exactly as it
// would match the entry's expression ('^' + entry with "." escaped and "*"
// as ".*" + '$', found with ICU's find()):
//   - each "*" stands for any text without a line terminator (LF, VT, FF,
//     CR, NEL, LS, PS), since "." stops at them;
//   - "$" also matches before one line terminator (or CR LF) that ends the
//     name.
// Entries holding a character with a regular-expression meaning, or a line
// terminator, have no LiteralGlob. Immutable once made: safe from any
// thread.
#ifndef QUILLFEN_REMOVAL_ENGINE_LITERAL_GLOB_H_
#define QUILLFEN_REMOVAL_ENGINE_LITERAL_GLOB_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillfen {

class LiteralGlob {
 public:
  // The glob for |entry|, or nothing when only the regular-expression engine
  // reads the entry right.
  static std::optional<LiteralGlob> ForEntry(std::string_view entry);

  // Whether |name|, valid UTF-8, matches.
  bool Matches(std::string_view name) const;

  // Whether |name|, any bytes, surely matches neither here nor in the
  // expression engine, which reads bytes that are not UTF-8 as U+FFFD: its
  // bytes don't begin with the first piece, or don't end with the last
  // and end with no line terminator. Costs a comparison or two, so most
  // names are answered without reading them whole.
  bool SurelyMisses(std::string_view name) const;

 private:
  // The entry split at every "*": the first piece is a prefix of the name,
  // the last a suffix, the others appear in order between them.
  std::vector<std::string> pieces_;
  // Whether SurelyMisses may look at the first and the last piece: not
  // when it holds U+FFFD, which a byte that is not UTF-8 also reads as.
  bool prefix_decides_ = false;
  bool suffix_decides_ = false;
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_LITERAL_GLOB_H_
