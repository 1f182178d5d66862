// The shell completions against the command line: every option that
// quillfen-remove's --help lists is offered by the bash, zsh and fish
// completions, and none of them offers an option the program lacks.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "testing/program.h"
#include "testing/temp_tree.h"

namespace quillfen {
namespace {

using Words = std::set<std::string>;

std::string Output(const std::vector<std::string>& args) {
  testing::Program run(args[0],
                       testing::ProgramSetup({args.begin() + 1, args.end()}));
  EXPECT_TRUE(run.WaitFor(std::chrono::seconds(60)));
  EXPECT_EQ(run.exit_status(), 0) << run.err();
  return run.out();
}

// The first group of each match of |pattern| in |text|, after |prefix|.
Words AllMatches(const std::string& text, const std::string& pattern,
                 const std::string& prefix = "") {
  Words words;
  std::regex re(pattern, std::regex::multiline);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re);
       it != std::sregex_iterator(); ++it) {
    words.insert(prefix + (*it)[1].str());
  }
  return words;
}

std::string Completion(const std::string& name) {
  return std::string(QUILLFEN_COMPLETION_DIR) + "/" + name;
}

// What bash's completion offers, one a line, for the |words| typed after
// the program's name in |folder|.
std::string BashOffers(const std::string& words,
                       const std::string& folder = ".") {
  return Output({"/bin/bash", "-c",
                 "cd \"$1\" && source \"$0\" && COMP_WORDS=(quillfen-remove " +
                     words +
                     "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                     "_quillfen_remove; printf '%s\\n' \"${COMPREPLY[@]}\"",
                 Completion("quillfen-remove.bash"), folder});
}

TEST(CompletionTest, EveryShellOffersExactlyTheProgramsOptions) {
  // The options in the help's lines that open with them: "  -n, --name
  // GLOB", "      --mac".
  Words options;
  for (const std::string& line :
       AllMatches(Output({QUILLFEN_CLIENT_PATH, "--help"}),
                  R"(^ +(-\S*(?: --?[\w-]+)?))")) {
    options.merge(AllMatches(line, R"((--?[\w-]+))"));
  }
  ASSERT_TRUE(options.contains("--apple-double") && options.contains("-a"))
      << ::testing::PrintToString(options);

  EXPECT_EQ(AllMatches(BashOffers("-"), R"(^(-.*)$)"), options) << "bash";
  // zsh: each option entry opens after a quote, a brace or a comma
  // ('(-r --request)*'{-n+,--name=}'[...]'); exclusion lists don't count.
  EXPECT_EQ(AllMatches(testing::FileContent(Completion("_quillfen-remove")),
                       R"([{,')](--?\w[\w-]*))"),
            options)
      << "zsh";
  // fish: "-s n -l name".
  std::string fish = testing::FileContent(Completion("quillfen-remove.fish"));
  Words fish_options = AllMatches(fish, R"( -s (\w)\b)", "-");
  fish_options.merge(AllMatches(fish, R"( -l ([\w-]+))", "--"));
  EXPECT_EQ(fish_options, options) << "fish";
}

TEST(CompletionTest, BashOffersFoldersForTheVolumeAndFilesForARequest) {
  testing::TempTree tree;
  tree.MakeFile("stick/inner");
  tree.MakeFile("request.json");
  EXPECT_EQ(BashOffers("-a ''", tree.path()), "stick\n");
  EXPECT_EQ(BashOffers("-r r", tree.path()), "request.json\n");
  EXPECT_EQ(BashOffers("-n ''", tree.path()), "\n");
}

}  // namespace
}  // namespace quillfen
