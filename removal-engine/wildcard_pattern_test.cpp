#include "removal-engine/wildcard_pattern.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

namespace quillfen {
namespace {

bool Matches(const char* entry, std::string_view name) {
  return WildcardPattern(entry).Matches(name);
}

// "*" and "." are wildcards' own; everything else keeps its meaning in a
// regular expression, and an expression that doesn't compile matches
// nothing.
TEST(WildcardPatternTest, StarAndDotAreWildcardsTheRestIsAnExpression) {
  EXPECT_TRUE(Matches("a*b", "ab"));
  EXPECT_TRUE(Matches("a*b", "axxb"));
  EXPECT_FALSE(Matches("a*b", "Ab"));            // Case counts.
  EXPECT_FALSE(Matches("a*b", "xab"));           // Anchored at both ends.
  EXPECT_FALSE(Matches("*.tmp", "reportxtmp"));  // The dot is literal.
  EXPECT_TRUE(Matches("*ü*", "Grüße"));
  // A group, not literal parentheses.
  EXPECT_TRUE(Matches("file(1)*", "file1.txt"));
  EXPECT_FALSE(Matches("file(1)*", "file(1).txt"));
  EXPECT_TRUE(Matches("[ab]*", "beta"));
  // Alternation splits the anchors: "^x" or "y.*$", anywhere.
  EXPECT_TRUE(Matches("x|y*", "any y"));
  WildcardPattern invalid("file(1*");
  EXPECT_FALSE(invalid.compiled());
  EXPECT_FALSE(invalid.Matches("file(1"));
}

TEST(WildcardPatternTest, BacktrackingHasABudgetPerName) {
  // A name that isn't UTF-8 takes even a literal-and-star entry to ICU,
  // whose backtracking over six "*" ran for hours on this one name.
  const std::string long_name = std::string(250, 'a') + "\xff";
  // Entries with expression characters always go to ICU.
  const std::string grouped_name = "x" + std::string(250, 'a');
  for (auto engine :
       {WildcardPattern::Engine::kFastest, WildcardPattern::Engine::kIcu}) {
    for (auto [entry, name] :
         {std::pair<const char*, std::string_view>{"*a*a*a*a*a*c", long_name},
          {"(x)*a*a*a*a*a*c", grouped_name}}) {
      WildcardPattern pattern(entry, engine);
      const auto start = std::chrono::steady_clock::now();
      EXPECT_FALSE(pattern.Matches(name)) << entry;
      EXPECT_TRUE(pattern.gave_up()) << entry;
      EXPECT_LT(std::chrono::steady_clock::now() - start,
                std::chrono::seconds(10))
          << entry;
      // The budget is per name: the next one gets a full one.
      EXPECT_TRUE(pattern.Matches("xaaaaa\xff c")) << entry;
      EXPECT_FALSE(pattern.gave_up()) << entry;
    }
  }
  // A quantified anchor only fills memory; that has a bound too.
  WildcardPattern anchors("++");
  EXPECT_FALSE(anchors.Matches("++"));
  EXPECT_TRUE(anchors.gave_up());

  // Ordinary entries come nowhere near it, even on the longest names.
  const std::string name_255 = std::string(200, 'b') + "file1 (copy).tmp" +
                               std::string(38, 'x') + "\xff";
  for (const char* entry : {"*file(1)*", "*x*x*\xff"}) {
    WildcardPattern pattern(entry);
    EXPECT_TRUE(pattern.Matches(name_255)) << entry;
    EXPECT_FALSE(pattern.gave_up()) << entry;
  }
}

// Random names over the letters the entries use, the dot, every line
// terminator and broken UTF-8.
TEST(WildcardPatternTest, FastPathAgreesWithIcuOnEveryName) {
  const std::vector<std::string> alphabet = {
      "a",        "b",      "x",      "t",    "m",  "p",  ".",
      "_",        "é",      "\xc3",   "\n",   "\r", "\v", "\f",
      "\u0085",   "\u2028", "\u2029", "\r\n", "*",  " ",  "\xef\xbf\xbd",
      "\xe2\x80", "\xc2"};
  std::mt19937 random(7);
  std::vector<std::string> names = {"", "a.tmp\n", "a.tmp\r\n", "a\n.tmp"};
  for (int i = 0; i < 30000; ++i) {
    std::string name;
    for (int n = random() % 9; n > 0; --n)
      name += alphabet[random() % alphabet.size()];
    names.push_back(name);
  }
  for (const char* entry :
       {"*.tmp", "*", "**", "*a*b*", "._*", "*.*", "*é*", "a*a*a", "*ab*ab",
        "*\xc3", "é*é", ".*", "*.tmp*", "a*\xef\xbf\xbd*b", "*\xef\xbf\xbd"}) {
    WildcardPattern fast(entry);
    WildcardPattern icu(entry, WildcardPattern::Engine::kIcu);
    EXPECT_EQ(fast.uses_fast_path(), std::string_view(entry) != "*\xc3")
        << entry;
    for (const std::string& name : names) {
      ASSERT_EQ(fast.Matches(name), icu.Matches(name))
          << "entry “" << entry << "” name “" << name << "”";
    }
  }
  // Entries with expression characters, or line terminators, go to ICU.
  for (const char* entry : {"a?*", "x|y*", "a\n*", "a\\*"}) {
    EXPECT_FALSE(WildcardPattern(entry).uses_fast_path()) << entry;
  }
}

}  // namespace
}  // namespace quillfen
