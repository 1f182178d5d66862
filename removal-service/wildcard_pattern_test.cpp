#include "removal-service/wildcard_pattern.h"

#include <gtest/gtest.h>

#include <random>

namespace quillfen {
namespace {

bool Matches(const char* entry, std::string_view name) {
  return WildcardPattern(entry).Matches(name);
}

TEST(WildcardPatternTest, EntriesTranslateOnlyDotAndStar) {
  EXPECT_EQ(WildcardPattern::ExpressionFor("*.tmp"), "^.*\\.tmp$");
  EXPECT_EQ(WildcardPattern::ExpressionFor("Thumbs*"), "^Thumbs.*$");
  EXPECT_EQ(WildcardPattern::ExpressionFor("a?(b)*"), "^a?(b).*$");
}

TEST(WildcardPatternTest, StarAndDotMatchAsWildcardsDo) {
  EXPECT_TRUE(Matches("a*b", "ab"));
  EXPECT_TRUE(Matches("a*b", "a.b"));
  EXPECT_TRUE(Matches("a*b", "axxb"));
  EXPECT_FALSE(Matches("a*b", "Ab"));   // Case counts.
  EXPECT_FALSE(Matches("a*b", "xab"));  // Anchored at both ends.
  EXPECT_TRUE(Matches("*.tmp", "report.tmp"));
  EXPECT_FALSE(Matches("*.tmp", "reportxtmp"));  // The dot is literal.
  EXPECT_TRUE(Matches("*", ""));
  EXPECT_TRUE(Matches("été*", "été 2024.jpg"));
  EXPECT_TRUE(Matches("*ü*", "Grüße"));
}

TEST(WildcardPatternTest, OtherCharactersKeepTheirExpressionMeaning) {
  // A group, not literal parentheses.
  EXPECT_TRUE(Matches("file(1)*", "file1.txt"));
  EXPECT_FALSE(Matches("file(1)*", "file(1).txt"));
  EXPECT_TRUE(Matches("[ab]*", "beta"));
  EXPECT_FALSE(Matches("[ab]*", "gamma"));
  // Alternation splits the anchors: "^x" or "y.*$", anywhere.
  EXPECT_TRUE(Matches("x|y*", "xylophone"));
  EXPECT_TRUE(Matches("x|y*", "any y"));
}

TEST(WildcardPatternTest, InvalidExpressionMatchesNothing) {
  WildcardPattern pattern("file(1*");
  EXPECT_FALSE(pattern.compiled());
  EXPECT_FALSE(pattern.Matches("file(1"));
  EXPECT_FALSE(pattern.Matches(""));
}

TEST(WildcardPatternTest, LineTerminatorsFollowIcu) {
  // "$" also matches before a final line terminator.
  EXPECT_TRUE(Matches("*.tmp", "a.tmp\n"));
  EXPECT_TRUE(Matches("*.tmp", "a.tmp\r\n"));
  // "." stops at line ends of every kind.
  EXPECT_FALSE(Matches("*.tmp", "a\n.tmp"));
  EXPECT_FALSE(Matches("*.tmp", "a\r.tmp"));
  EXPECT_FALSE(Matches("*.tmp", "a\u0085.tmp"));
  EXPECT_FALSE(Matches("*.tmp", "a\u2028.tmp"));
  EXPECT_FALSE(Matches("*.tmp", "a.tmp\nx"));
}

TEST(WildcardPatternTest, OnePatternServesManyNamesAndMoves) {
  WildcardPattern pattern("._*");
  std::vector<WildcardPattern> moved;
  moved.push_back(std::move(pattern));
  for (int i = 0; i < 1000; ++i) {
    std::string name = (i % 2 ? "._" : "x_") + std::to_string(i);
    EXPECT_EQ(moved[0].Matches(name), i % 2 == 1) << name;
  }
}

TEST(WildcardPatternTest, FastPathAgreesWithIcuOnEveryName) {
  const char* entries[] = {"*.tmp", "Thumbs*", "*",     "**",  "a*b",
                           "*a*b*", "._*",     "*.*",   "*é*", "*ü",
                           "a*a*a", "*ab*ab",  "x*x",   "t*",  "*\xc3",
                           "é*é",   ".*",      "*.tmp*"};
  // Letters that the entries use, the dot, and every line terminator.
  const std::vector<std::string> alphabet = {
      "a",  "b",      "x",      "t",      "m",    "p",  ".",
      "_",  "é",      "ü",      "\xc3",   "\n",   "\r", "\v",
      "\f", "\u0085", "\u2028", "\u2029", "\r\n", "*",  " "};
  std::mt19937 random(7);
  std::vector<std::string> names = {"", "a.tmp\n", "a.tmp\r\n", "a\n.tmp"};
  for (int i = 0; i < 30000; ++i) {
    std::string name;
    for (int n = random() % 9; n > 0; --n)
      name += alphabet[random() % alphabet.size()];
    names.push_back(name);
  }
  for (const char* entry : entries) {
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
  for (const char* entry :
       {"file(1)*", "a?*", "[ab]*", "x|y*", "a\n*", "a\\*"}) {
    EXPECT_FALSE(WildcardPattern(entry).uses_fast_path()) << entry;
  }
}

}  // namespace
}  // namespace quillfen
