// Globs against fnmatch, through the real engine: the request the options
// make is read by RemovalPlan, and what it selects is what fnmatch (in the
// C.UTF-8 locale, with FNM_CASEFOLD for -i) says of each name.
#include "client/glob_entry.h"

#include <fnmatch.h>
#include <gtest/gtest.h>
#include <locale.h>

#include <algorithm>
#include <random>

#include "client/removal_options.h"
#include "protocol/bus_string.h"
#include "protocol/json_form.h"
#include "removal-engine/path_names.h"
#include "removal-engine/removal_plan.h"

namespace quillfen {
namespace {

bool IsAscii(std::string_view text) {
  return std::ranges::all_of(
      text, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Three answers: yes, no, and unknown (nullopt).
using Verdict = std::optional<bool>;

// What fnmatch says of |name| reading it as characters, the reading a
// person means. This C library reads a name as characters and, when that
// finds no match, also as bytes ("??" matches "é"); a byte's reading that
// matches hides the characters' answer, unless all is ASCII, where the two
// readings agree. fnmatch reads the locale of the calling thread.
Verdict FnMatches(const std::string& glob, std::string_view name,
                  bool ignore_case) {
  static const locale_t utf8 = newlocale(LC_ALL_MASK, "C.UTF-8", nullptr),
                        bytes = newlocale(LC_ALL_MASK, "C", nullptr);
  const std::string text(name);
  const int flags = ignore_case ? FNM_CASEFOLD : 0;
  locale_t previous = uselocale(utf8);
  bool matches = fnmatch(glob.c_str(), text.c_str(), flags) == 0;
  uselocale(bytes);
  bool bytes_match = fnmatch(glob.c_str(), text.c_str(), flags) == 0;
  uselocale(previous);
  if (!matches) return false;
  if (!bytes_match || (IsAscii(glob) && IsAscii(name))) return true;
  return std::nullopt;
}

Verdict Or(Verdict a, Verdict b) {
  if (a == true || b == true) return true;
  if (!a || !b) return std::nullopt;
  return false;
}

// What fnmatch says the options (no presets) select of |name|.
Verdict FnSelects(const RemovalOptions& options, std::string_view name) {
  Verdict kept = false,
          selected = options.apple_double && name.starts_with("._");
  for (const std::string& keep : options.keep) {
    kept = Or(kept, FnMatches(keep, name, options.ignore_case));
  }
  for (const std::string& glob : options.names) {
    selected = Or(selected, FnMatches(glob, name, options.ignore_case));
  }
  for (const std::string& glob : options.extensions) {
    selected =
        Or(selected, FnMatches(glob, NameExtension(name), options.ignore_case));
  }
  if (kept == true || selected == false) return false;
  if (!kept || !selected) return std::nullopt;
  return true;
}

RemovalPlan PlanFor(const RemovalOptions& options) {
  Result<RemovalRequest> request = RequestFromOptions(options);
  EXPECT_TRUE(request) << request.error().message;
  Result<RemovalPlan> plan = RemovalPlan::FromRequest(*request);
  EXPECT_TRUE(plan) << plan.error().message;
  return std::move(*plan);
}

// The characters names and globs are made of: those that mean something
// to a glob, to an expression or to the engine, line terminators, letters
// whose case folds in unusual ways, and characters past one UTF-16 unit.
const std::vector<char32_t> kAlphabet = {
    'a',   'b',    'z',   'A',   'B',   'Z',    'k',    's',    '.',
    '*',   '?',    '[',   ']',   '\\',  '!',    '^',    '-',    ':',
    '=',   '$',    '(',   ')',   '|',   '{',    '~',    '_',    ' ',
    '\n',  '\r',   0x7F,  0xC9,  0xE9,  0xDF,   0xFF,   0x130,  0x178,
    0x17F, 0x212A, 0x3A3, 0x3C3, 0x3C2, 0x2028, 0x4E2D, 0x1F600};

// Pieces of bracket expressions: classes, equivalence classes, collating
// symbols and ranges, well formed or not, and characters special there.
const std::vector<std::string> kBracketParts = {
    "[:alpha:]", "[:upper:]", "[:lower:]", "[:digit:]", "[:space:]",
    "[:punct:]", "[:foo:]",   "[:alpha",   "[=a=]",     "[=",
    "[.a.]",     "[.-.]",     "[.ab.]",    "[.",        "a-z",
    "A-Z",       "Z-a",       "a-ÿ",       "É-ÿ",       "a-σ",
    "-",         "]",         "[",         "\\",        "\\]",
    "!",         "^"};

class GlobMaker {
 public:
  explicit GlobMaker(unsigned seed) : random_(seed) {}

  std::string Character() {
    std::string text;
    AppendUtf8Character(kAlphabet[Below(kAlphabet.size())], &text);
    return text;
  }

  std::string Name() {
    std::string name;
    for (std::size_t n = Below(7); n > 0; --n) name += Character();
    return name;
  }

  // A glob of literal characters, wildcards, escapes and bracket
  // expressions of every kind, well formed or not.
  std::string Glob() {
    std::string glob;
    for (std::size_t n = 1 + Below(5); n > 0; --n) {
      std::size_t kind = Below(9);
      glob += kind == 0   ? "*"
              : kind == 1 ? "?"
              : kind == 2 ? "\\" + Character()
              : kind < 5  ? Bracket()
                          : Character();
    }
    if (Below(20) == 0) glob += '\\';
    return glob;
  }

  // A name the glob may well match: each part of it filled in.
  std::string NameLike(const std::string& glob) {
    std::string name;
    for (std::size_t i = 0; i < glob.size(); ++i) {
      char c = glob[i];
      if (c == '*') {
        for (std::size_t n = Below(3); n > 0; --n) name += Character();
      } else if (c == '?') {
        name += Character();
      } else if (c == '\\' && i + 1 < glob.size()) {
        continue;
      } else if (c == '[' && Below(2) == 0) {
        // One of the characters in the brackets, or anything.
        std::size_t close = glob.find(']', i + 2);
        if (close == std::string::npos) close = glob.size();
        std::string inner = glob.substr(i + 1, close - i - 1);
        name +=
            inner.empty() || Below(4) == 0 ? Character() : PickCharacter(inner);
        i = close;
      } else {
        name += c;
      }
    }
    if (Below(3) == 0) {
      for (char& c : name) {
        if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')
          c = static_cast<char>(c ^ 0x20);
      }
    }
    return name;
  }

  std::size_t Below(std::size_t n) { return random_() % n; }

 private:
  std::string Bracket() {
    std::string bracket = "[";
    if (Below(3) == 0) bracket += Below(2) ? "!" : "^";
    for (std::size_t n = Below(4); n > 0; --n) {
      if (Below(2) == 0) {
        bracket += kBracketParts[Below(kBracketParts.size())];
      } else if (Below(4) == 0) {
        bracket += Character() + "-" + Character();
      } else {
        bracket += Character();
      }
    }
    if (Below(6) != 0) bracket += ']';
    return bracket;
  }

  std::string PickCharacter(const std::string& text) {
    std::vector<std::string> characters;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
      std::uint32_t c;
      int length = ReadUtf8Character(p, end, &c);
      if (length == 0) break;
      characters.emplace_back(reinterpret_cast<const char*>(p), length);
      p += length;
    }
    return characters.empty() ? Character()
                              : characters[Below(characters.size())];
  }

  std::mt19937 random_;
};

// The property: for random globs as names, extensions and keeps, with and
// without -i, the engine selects exactly the names fnmatch matches.
TEST(GlobEntryTest, TheEngineSelectsWhatFnmatchMatches) {
  GlobMaker make(20261208);
  int selected = 0, compared = 0, unknown = 0, failures = 0;
  for (int round = 0; round < 3000 && failures < 10; ++round) {
    RemovalOptions options;
    options.volume_path = "/v";
    options.ignore_case = make.Below(4) == 0;
    options.apple_double = make.Below(8) == 0;
    std::string glob = make.Glob();
    (make.Below(3) == 0 ? options.extensions : options.names).push_back(glob);
    for (std::size_t n = make.Below(4) == 0 ? 1 + make.Below(2) : 0; n > 0;
         --n) {
      options.keep.push_back(make.Below(3) == 0 ? make.Name() : make.Glob());
    }
    RemovalPlan plan = PlanFor(options);
    for (int i = 0; i < 8; ++i) {
      std::string name = i < 3 ? make.Name() : make.NameLike(glob);
      if (i == 7 && !options.keep.empty())
        name = make.NameLike(options.keep[0]);
      if (name.empty() || name.find('/') != std::string::npos ||
          !IsValidUtf8(name)) {
        continue;
      }
      Verdict verdict = FnSelects(options, name);
      if (!verdict) {
        ++unknown;
        continue;
      }
      bool expected = *verdict;
      ++compared;
      selected += expected;
      std::string_view undecided;
      if (plan.Selects(name, &undecided) != expected || !undecided.empty()) {
        ++failures;
        ADD_FAILURE() << "name \"" << name << "\": fnmatch says " << expected
                      << (undecided.empty() ? "" : ", the engine gave up")
                      << "\nrequest "
                      << JsonTextFromValue(Value(*RequestFromOptions(options)));
      }
    }
  }
  // Enough of each answer for the comparison to mean something.
  EXPECT_GT(selected, compared / 10) << compared;
  EXPECT_LT(selected, compared * 4 / 5) << compared;
  EXPECT_LT(unknown, compared / 4) << compared;
}

bool Selects(RemovalOptions options, std::string_view name) {
  options.volume_path = "/v";
  return PlanFor(options).Selects(name);
}

// The cases a person met.
TEST(GlobEntryTest, WhatAPersonTypesMeansWhatItLooksLike) {
  RemovalOptions office;
  office.names = {"~$*"};
  EXPECT_TRUE(Selects(office, "~$report.docx"));
  EXPECT_FALSE(Selects(office, "report~$.docx"));

  RemovalOptions copies;
  copies.names = {"*(1)*"};
  EXPECT_TRUE(Selects(copies, "photo (1).jpg"));
  EXPECT_FALSE(Selects(copies, "100APPLE"));
  EXPECT_FALSE(Selects(copies, ".Spotlight-V100"));

  RemovalOptions jpg;
  jpg.extensions = {"jpg"};
  EXPECT_FALSE(Selects(jpg, "IMG_0001.JPG"));
  jpg.ignore_case = true;
  EXPECT_TRUE(Selects(jpg, "IMG_0001.JPG"));
  EXPECT_FALSE(Selects(jpg, ".JPG"));  // A leading dot opens no extension.

  // A keep glob spares names from every rule, "._" included.
  RemovalOptions keep_glob;
  keep_glob.apple_double = true;
  keep_glob.extensions = {"tmp"};
  keep_glob.names = {"notes.txt"};
  keep_glob.keep = {"keep*", "._keep*"};
  EXPECT_TRUE(Selects(keep_glob, "a.tmp"));
  EXPECT_TRUE(Selects(keep_glob, "._a"));
  EXPECT_TRUE(Selects(keep_glob, "notes.txt"));
  EXPECT_FALSE(Selects(keep_glob, "keep.tmp"));
  EXPECT_FALSE(Selects(keep_glob, "._keep.tmp"));
  keep_glob.keep = {"*.txt"};
  EXPECT_FALSE(Selects(keep_glob, "notes.txt"));
}

TEST(GlobEntryTest, PresetsAndPlainNamesTravelAsExactEntries) {
  RemovalOptions options;
  options.volume_path = "/v";
  options.mac = options.windows = true;
  options.names = {"*.tmp"};
  for (const char* name : {"._x", ".DS_Store", "$RECYCLE.BIN", "a.tmp"}) {
    EXPECT_TRUE(Selects(options, name)) << name;
  }
  EXPECT_FALSE(Selects(options, "xDS_Store"));
  EXPECT_FALSE(Selects(options, "THUMBS.DB"));
  options.ignore_case = true;
  EXPECT_TRUE(Selects(options, "THUMBS.DB"));
  options.keep = {"thumbs*"};
  EXPECT_FALSE(Selects(options, "THUMBS.DB"));
  EXPECT_TRUE(Selects(options, "._x"));
}

// Between stars the engine never backtracks: a glob that would take a
// backtracking matcher hours on a long name is answered within its budget.
TEST(GlobEntryTest, ManyStarsOnALongNameAreAnsweredInTime) {
  RemovalOptions options;
  options.volume_path = "/v";
  options.names = {"*a*a*a*a*a*a*c"};
  RemovalPlan plan = PlanFor(options);
  std::string_view undecided;
  EXPECT_FALSE(plan.Selects(std::string(250, 'a'), &undecided));
  EXPECT_TRUE(undecided.empty());
  EXPECT_TRUE(plan.Selects(std::string(250, 'a') + "c"));
}

}  // namespace
}  // namespace quillfen
