#include "removal-engine/wildcard_pattern.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

namespace quillfen {
namespace {

bool Matches(const char* entry, std::string_view name) {
  return WildcardPattern(entry).Matches(name);
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
  for (const char* entry : {"*file(1)*", "*.*", "*(copy)*", "*x*x*\xff"}) {
    WildcardPattern pattern(entry);
    EXPECT_TRUE(pattern.Matches(name_255)) << entry;
    EXPECT_FALSE(pattern.gave_up()) << entry;
  }
}

TEST(WildcardPatternTest, FastPathAgreesWithIcuOnEveryName) {
  const char* entries[] = {"*.tmp",
                           "Thumbs*",
                           "*",
                           "**",
                           "a*b",
                           "*a*b*",
                           "._*",
                           "*.*",
                           "*é*",
                           "*ü",
                           "a*a*a",
                           "*ab*ab",
                           "x*x",
                           "t*",
                           "*\xc3",
                           "é*é",
                           ".*",
                           "*.tmp*",
                           "\xef\xbf\xbd*",
                           "*\xef\xbf\xbd",
                           "a*\xef\xbf\xbd*b"};
  // Letters that the entries use, the dot, and every line terminator.
  const std::vector<std::string> alphabet = {"a",        "b",
                                             "x",        "t",
                                             "m",        "p",
                                             ".",        "_",
                                             "é",        "ü",
                                             "\xc3",     "\n",
                                             "\r",       "\v",
                                             "\f",       "\u0085",
                                             "\u2028",   "\u2029",
                                             "\r\n",     "*",
                                             " ",        "\xef\xbf\xbd",
                                             "\xe2\x80", "\xc2"};
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
