// The parts, in order: a set of characters written as an expression; the
// reading of a bracket expression as the C library reads it, and of the
// whole glob, into tokens; the tokens written as an expression.
#include "client/glob_entry.h"

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "client/code_point_set.h"
#include "client/locale_characters.h"
#include "protocol/bus_string.h"

namespace quillfen {
namespace {

constexpr std::string_view kAny = "\\p{Any}";
// Matches nothing: an empty negative lookahead fails everywhere.
constexpr std::string_view kNothing = "(?!)";
// Zero width, and a "*" that makes the engine read the entry as a wildcard.
constexpr std::string_view kWildcardMark = "(?:*){0}";

// Letters and digits stand for themselves; everything else is written by
// its number, so that nothing the engine rewrites ("." or "*") and nothing
// with a meaning in an expression appears.
std::string CharText(char32_t c) {
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
      (c >= 'a' && c <= 'z')) {
    return std::string(1, static_cast<char>(c));
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string digits;
  do {
    digits.insert(digits.begin(), kHex[c & 0xF]);
    c >>= 4;
  } while (c != 0);
  return "\\x{" + digits + "}";
}

std::string RunsText(const std::vector<std::pair<char32_t, char32_t>>& runs) {
  std::string text;
  for (auto [first, last] : runs) {
    text += CharText(first);
    if (last > first + 1) text += '-';
    if (last > first) text += CharText(last);
  }
  return text;
}

std::string SetText(const CodePointSet& set) {
  auto runs = set.Runs();
  if (runs.empty()) return std::string(kNothing);
  if (runs.size() == 1 && runs[0].first == runs[0].second) {
    return CharText(runs[0].first);
  }
  CodePointSet others = set;
  others.Complement();
  auto other_runs = others.Runs();
  if (other_runs.empty()) return std::string(kAny);
  if (other_runs.size() < runs.size()) return "[^" + RunsText(other_runs) + "]";
  return "[" + RunsText(runs) + "]";
}

// Where the C library stops reading a class name, as measured: a bracket
// holding a longer one matches nothing.
constexpr std::size_t kClassNameLimit = 2048;

class GlobCompiler {
 public:
  GlobCompiler(std::u32string pattern, GlobCase glob_case)
      : pattern_(std::move(pattern)),
        ignore_case_(glob_case == GlobCase::kIgnore),
        budget_(64 * (static_cast<std::int64_t>(pattern_.size()) + 16)) {
    // Two NULs: the reading looks one character past the first at most.
    pattern_.append(2, U'\0');
  }

  Result<std::string> Expression() {
    std::vector<Token> tokens = Compile(0);
    if (budget_ < 0) {
      return ErrorMessage("its brackets are too tangled to be read");
    }
    return Text(tokens);
  }

 private:
  struct Token;
  // A branch of a bracket whose characters lead on to different places:
  // the characters, and the glob's reading from there.
  struct Branch {
    std::string set;
    std::vector<Token> rest;
  };
  struct Token {
    enum Kind { kSet, kStar, kEnd, kNoMatch, kBranches };
    explicit Token(Kind token_kind, std::string token_set = {})
        : kind(token_kind), set(std::move(token_set)) {}
    Kind kind;
    std::string set;
    std::vector<Branch> branches;
  };

  // A bracket expression read as the C library reads it: each item the set
  // of name characters it matches and where the reading stands after it;
  // then how the reading ended.
  struct BracketItem {
    CodePointSet set;
    std::size_t after;
  };
  enum class BracketEnd { kClosed, kUnterminated, kBroken };
  struct Bracket {
    bool negated = false;
    std::vector<BracketItem> items;
    BracketEnd end = BracketEnd::kBroken;
    std::size_t after = 0;  // Past the "]", when closed.
  };
  // Where skipping the rest of a bracket, after an item matched, ends.
  struct Skip {
    BracketEnd end;
    std::size_t after = 0;
  };

  char32_t Fold(char32_t c) const { return ignore_case_ ? FoldedCase(c) : c; }

  // The name characters whose folded case is in |folded|.
  CodePointSet FoldingInto(const CodePointSet& folded) const {
    return ignore_case_ ? CharactersFoldingInto(folded) : folded;
  }

  CodePointSet FoldingTo(char32_t folded) const {
    return FoldingInto(CodePointSet::Of(folded));
  }

  // The C library places a character in a range by the locale's collation
  // sequence, which it knows for the first 256 code points only (in their
  // order): a character past them is in no range, a range that begins past
  // them holds nothing, and one that ends past them holds its first end
  // alone. |low| and |high| are the ends as the library compares them.
  CodePointSet RangeMembers(char32_t low, char32_t high) const {
    if (low >= kCollationTableEnd) return CodePointSet();
    if (high >= kCollationTableEnd) return FoldingTo(low);
    return FoldingInto(CodePointSet::Between(low, high));
  }

  // The text for a character read as itself, |folded| already folded.
  std::string Literal(char32_t folded) const {
    return ignore_case_ ? SetText(FoldingTo(folded)) : CharText(folded);
  }

  char32_t At(std::size_t i) const {
    return i < pattern_.size() ? pattern_[i] : U'\0';
  }

  // Reads a collating symbol "[.c.]" whose "[" is at |*i| - 1: its one
  // character, with |*i| past it, or nothing when it is broken.
  std::optional<char32_t> CollatingSymbol(std::size_t* i) const {
    std::size_t start = *i;
    std::size_t length = 0;
    for (;;) {
      char32_t c = At(++*i);
      if (c == '.' && At(*i + 1) == ']') {
        *i += 2;
        break;
      }
      if (c == 0) return std::nullopt;
      ++length;
    }
    // The locale names no collating elements: only a character itself.
    if (length != 1) return std::nullopt;
    return At(start + 1);
  }

  // The bracket whose "[" is at |i| - 1.
  // |past_collation|: for a name character whose folded case lies past the
  // collation table, which the library reads differently (see below).
  Bracket ReadBracket(std::size_t i, bool past_collation) {
    Bracket bracket;
    bracket.negated = At(i) == '!' || At(i) == '^';
    if (bracket.negated) ++i;
    auto add = [&](CodePointSet set, std::size_t after) {
      bracket.items.push_back({std::move(set), after});
    };
    char32_t c = At(i++);
    for (;;) {
      bool plain = false;  // An ordinary character, or an escaped one.
      bool may_open_range = false;
      char32_t low = 0;  // A range's first end, as compared.
      if (c == '\\') {
        if (At(i) == 0) return bracket;
        c = Fold(At(i++));
        plain = true;
      } else if (c == '[' && At(i) == ':') {
        std::size_t start = i;
        std::string name;
        for (;;) {
          if (name.size() == kClassNameLimit) return bracket;
          c = At(++i);
          if (c == ':' && At(i + 1) == ']') {
            i += 2;
            break;
          }
          if (c < 'a' || c >= 'z') {
            i = start;
            c = '[';
            plain = true;
            break;
          }
          name += static_cast<char>(c);
        }
        if (!plain) {
          const CodePointSet* members = ClassMembers(name);
          if (members == nullptr) return bracket;
          add(*members, i);
          c = At(i++);
        }
      } else if (c == '[' && At(i) == '=') {
        std::size_t start = i;
        char32_t equal = At(++i);
        if (equal != 0 && At(i + 1) == '=' && At(i + 2) == ']') {
          i += 3;
          // The locale has no equivalence classes but single characters.
          add(CodePointSet::Of(equal), i);
          c = At(i++);
        } else {
          i = start;
          c = '[';
          plain = true;
        }
      } else if (c == 0) {
        bracket.end = BracketEnd::kUnterminated;
        return bracket;
      } else if (c == '[' && At(i) == '.') {
        std::optional<char32_t> symbol = CollatingSymbol(&i);
        if (!symbol) return bracket;
        bool is_range = At(i) == '-' && At(i + 1) != 0;
        if (!is_range) add(CodePointSet::Of(*symbol), i);
        low = *symbol;
        c = At(i++);
        may_open_range = true;
      } else {
        c = Fold(c);
        plain = true;
      }
      if (plain) {
        bool is_range = At(i) == '-' && At(i + 1) != 0 && At(i + 1) != ']';
        if (!is_range) add(FoldingTo(c), i);
        low = c;
        c = At(i++);
        may_open_range = true;
      }
      if (may_open_range && c == '-' && At(i) != ']') {
        char32_t end = At(i++);
        if (past_collation) {
          // The library gives up on such a character as soon as it has
          // read the range's second end's first character, before it reads
          // an escape or a collating symbol there: it goes on from that
          // point, and a "]" escaped at the end of a range closes the
          // bracket for it.
          c = At(i++);
          if (c == ']') {
            bracket.end = BracketEnd::kClosed;
            bracket.after = i;
            return bracket;
          }
          continue;
        }
        char32_t high;
        if (end == '[' && At(i) == '.') {
          std::optional<char32_t> symbol = CollatingSymbol(&i);
          if (!symbol) return bracket;
          high = *symbol;
        } else {
          if (end == '\\') end = At(i++);
          if (end == 0) return bracket;
          high = Fold(end);
        }
        add(RangeMembers(low, high), i);
        c = At(i++);
      }
      if (c == ']') {
        bracket.end = BracketEnd::kClosed;
        bracket.after = i;
        return bracket;
      }
    }
  }

  // Once an item has matched, the C library skips to the bracket's "]"
  // with a reading of its own, which may end elsewhere than the first.
  Skip SkipRest(std::size_t i) const {
    for (;;) {
      char32_t c = At(i++);
      if (c == ']') return {BracketEnd::kClosed, i};
      if (c == 0) return {BracketEnd::kUnterminated};
      if (c == '\\') {
        if (At(i) == 0) return {BracketEnd::kBroken};
        ++i;
      } else if (c == '[' && At(i) == ':') {
        std::size_t start = i;
        for (std::size_t length = 1;; ++length) {
          c = At(++i);
          if (length == kClassNameLimit) return {BracketEnd::kBroken};
          if (c == ':' && At(i + 1) == ']') break;
          if (c < 'a' || c >= 'z') {
            i = start - 2;
            break;
          }
        }
        i += 2;
      } else if (c == '[' && At(i) == '=') {
        if (At(++i) == 0) return {BracketEnd::kBroken};
        c = At(++i);
        if (c != '=' || At(i + 1) != ']') return {BracketEnd::kBroken};
        i += 2;
      } else if (c == '[' && At(i) == '.') {
        for (;;) {
          c = At(++i);
          if (c == 0) return {BracketEnd::kBroken};
          if (c == '.' && At(i + 1) == ']') break;
        }
        i += 2;
      }
    }
  }

  // The name characters a bracket at |i| - 1 takes, grouped by where the
  // glob's reading goes on: past a "]", or (for the literal "[" an
  // unterminated bracket stands for) at |i|.
  std::map<std::size_t, CodePointSet> BracketBranches(std::size_t i) {
    std::map<std::size_t, CodePointSet> branches;
    CodePointSet literal;  // Characters read as a "[" after all.
    // The characters within the collation table, and the others, each
    // with the reading the library gives them.
    CodePointSet within =
        FoldingInto(CodePointSet::Between(1, kCollationTableEnd - 1));
    for (bool past_collation : {false, true}) {
      CodePointSet characters = within;
      if (past_collation) characters.Complement();
      Bracket bracket = ReadBracket(i, past_collation);
      CodePointSet taken;
      for (const BracketItem& item : bracket.items) {
        CodePointSet fresh = item.set;
        fresh.RemoveAll(taken);
        fresh.RetainAll(characters);
        taken.AddAll(item.set);
        Skip skip = SkipRest(item.after);
        if (skip.end == BracketEnd::kClosed && !bracket.negated) {
          branches[skip.after].AddAll(fresh);
        } else if (skip.end == BracketEnd::kUnterminated) {
          literal.AddAll(fresh);
        }
      }
      CodePointSet others = taken;
      others.Complement();
      others.RetainAll(characters);
      if (bracket.end == BracketEnd::kClosed && bracket.negated) {
        branches[bracket.after].AddAll(others);
      } else if (bracket.end == BracketEnd::kUnterminated) {
        literal.AddAll(others);
      }
    }
    CodePointSet open_bracket = FoldingTo('[');
    CodePointSet not_literal = CodePointSet::All();
    not_literal.RemoveAll(literal);
    open_bracket.RemoveAll(not_literal);
    if (!open_bracket.Empty()) branches[i].AddAll(open_bracket);
    for (auto it = branches.begin(); it != branches.end();) {
      it = it->second.Empty() ? branches.erase(it) : std::next(it);
    }
    return branches;
  }

  // The tokens for the glob from |i| on, as the C library's main loop reads
  // it.
  std::vector<Token> Compile(std::size_t i) {
    std::vector<Token> tokens;
    for (;;) {
      if (--budget_ < 0) {
        tokens.emplace_back(Token::kNoMatch);
        return tokens;
      }
      char32_t c = At(i++);
      if (c == 0) {
        tokens.emplace_back(Token::kEnd);
        return tokens;
      }
      c = Fold(c);
      if (c == '?') {
        tokens.emplace_back(Token::kSet, std::string(kAny));
      } else if (c == '*') {
        if (tokens.empty() || tokens.back().kind != Token::kStar) {
          tokens.emplace_back(Token::kStar);
        }
      } else if (c == '\\') {
        char32_t escaped = At(i++);
        if (escaped == 0) {
          tokens.emplace_back(Token::kNoMatch);
          return tokens;
        }
        tokens.emplace_back(Token::kSet, Literal(Fold(escaped)));
      } else if (c == '[') {
        std::map<std::size_t, CodePointSet> branches = BracketBranches(i);
        if (branches.empty()) {
          tokens.emplace_back(Token::kNoMatch);
          return tokens;
        }
        if (branches.size() == 1) {
          tokens.emplace_back(Token::kSet, SetText(branches.begin()->second));
          i = branches.begin()->first;
          continue;
        }
        Token fork(Token::kBranches);
        for (const auto& [next, set] : branches) {
          fork.branches.push_back({SetText(set), Compile(next)});
        }
        tokens.push_back(std::move(fork));
        return tokens;
      } else {
        tokens.emplace_back(Token::kSet, Literal(c));
      }
    }
  }

  // The tokens as an expression. Between two stars, the characters can be
  // taken at their first place and never given back: each token matches
  // one character, so a later place leaves no more room for the rest.
  // That keeps the match linear where a plain translation backtracks.
  static std::string Text(const std::vector<Token>& tokens) {
    std::string text;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      const Token& token = tokens[i];
      switch (token.kind) {
        case Token::kSet:
          text += token.set;
          break;
        case Token::kEnd:
          text += "\\z";
          break;
        case Token::kNoMatch:
          text += kNothing;
          break;
        case Token::kBranches: {
          text += "(?:";
          for (const Branch& branch : token.branches) {
            if (&branch != &token.branches.front()) text += '|';
            text += branch.set + Text(branch.rest);
          }
          text += ')';
          break;
        }
        case Token::kStar: {
          std::size_t next = i + 1;
          while (next < tokens.size() && tokens[next].kind == Token::kSet) {
            ++next;
          }
          if (next < tokens.size() && tokens[next].kind == Token::kStar) {
            text += "(?>" + std::string(kAny) + "{0,}?";
            for (std::size_t j = i + 1; j < next; ++j) text += tokens[j].set;
            text += ')';
            i = next - 1;
          } else {
            text += std::string(kAny) + "{0,}";
          }
          break;
        }
      }
    }
    return text;
  }

  std::u32string pattern_;
  bool ignore_case_;
  // Characters read in all: a bracket that branches reads the rest once
  // per branch, and a glob made to branch again and again stops here.
  std::int64_t budget_;
};

}  // namespace

Result<std::string> GlobExpression(std::string_view glob, GlobCase glob_case) {
  std::u32string pattern;
  const auto* p = reinterpret_cast<const unsigned char*>(glob.data());
  const auto* end = p + glob.size();
  while (p < end) {
    std::uint32_t c;
    int length = ReadUtf8Character(p, end, &c);
    if (length == 0 || c == 0) {
      return ErrorMessage("it isn’t valid UTF-8 text");
    }
    pattern.push_back(static_cast<char32_t>(c));
    p += length;
  }
  if (!HaveUtf8Locale()) {
    return ErrorMessage(
        "the C.UTF-8 locale, which says what it means, is "
        "missing");
  }
  return GlobCompiler(std::move(pattern), glob_case).Expression();
}

std::optional<std::string> GlobLiteral(std::string_view glob) {
  if (glob.find_first_of("*?[\\") != std::string_view::npos) {
    return std::nullopt;
  }
  return std::string(glob);
}

bool GlobMatchesEmpty(std::string_view glob) {
  return glob.find_first_not_of('*') == std::string_view::npos;
}

std::string ExtensionNameExpression(std::string_view extension_expression,
                                    bool matches_empty) {
  // The last dot, past the first character: no dot follows it.
  std::string text = "(?:(?>" + std::string(kAny) + std::string(kAny) +
                     "{0,}\\x{2E}(?=[^\\x{2E}]{0,}\\z))" +
                     std::string(extension_expression);
  // No extension: no dot but perhaps one that opens the name.
  if (matches_empty) text += "|\\x{2E}?[^\\x{2E}]{0,}\\z";
  return text + ")";
}

std::string WildcardEntry(std::string_view expression,
                          std::span<const std::string> keep_expressions) {
  std::string entry(kWildcardMark);
  for (const std::string& keep : keep_expressions) {
    entry += "(?!" + keep + ")";
  }
  return entry + std::string(expression);
}

}  // namespace quillfen
