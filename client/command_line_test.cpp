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

// The options in the help's lines that open with them: "  -n,--name TEXT".
Words HelpOptions() {
  std::string help = Output({QUILLFEN_CLIENT_PATH, "--help"});
  Words options;
  for (const std::string& line : AllMatches(help, R"(^  (-[^ ]+))")) {
    for (const std::string& option : AllMatches(line, R"((--?[\w-]+))")) {
      options.insert(option);
    }
  }
  return options;
}

std::string Completion(const std::string& name) {
  return testing::FileContent(std::string(QUILLFEN_COMPLETION_DIR) + "/" +
                              name);
}

TEST(CompletionTest, EveryShellOffersExactlyTheProgramsOptions) {
  Words options = HelpOptions();
  ASSERT_TRUE(options.contains("--apple-double") && options.contains("-a") &&
              options.contains("--version"))
      << ::testing::PrintToString(options);

  // bash: what the completion function itself answers for "-".
  std::string script =
      std::string(QUILLFEN_COMPLETION_DIR) + "/quillfen-remove.bash";
  std::string offered =
      Output({"/bin/bash", "-c",
              "source \"$0\"; COMP_WORDS=(quillfen-remove -); COMP_CWORD=1; "
              "_quillfen_remove; printf '%s\\n' \"${COMPREPLY[@]}\"",
              script});
  EXPECT_EQ(AllMatches(offered, R"(^(-.*)$)"), options) << "bash";

  // zsh: each option entry opens after a quote, a brace or a comma
  // ('(-r --request)*'{-n+,--name=}'[...]'); exclusion lists don't count.
  EXPECT_EQ(AllMatches(Completion("_quillfen-remove"),
                       R"([{,')](--?[A-Za-z][\w-]*))"),
            options)
      << "zsh";

  // fish: "-s n -l name".
  std::string fish = Completion("quillfen-remove.fish");
  Words fish_options = AllMatches(fish, R"( -s (\w)\b)", "-");
  fish_options.merge(AllMatches(fish, R"( -l ([\w-]+))", "--"));
  EXPECT_EQ(fish_options, options) << "fish";
}

TEST(CompletionTest, BashOffersFoldersForTheVolumeAndFilesForARequest) {
  testing::TempTree tree;
  tree.MakeFile("stick/inner");
  tree.MakeFile("request.json");
  auto offered = [&](const std::string& words) {
    return Output(
        {"/bin/bash", "-c",
         "cd \"$1\" && source \"$0\" && COMP_WORDS=(quillfen-remove " + words +
             "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
             "_quillfen_remove; printf '%s\\n' \"${COMPREPLY[@]}\"",
         std::string(QUILLFEN_COMPLETION_DIR) + "/quillfen-remove.bash",
         tree.path()});
  };
  EXPECT_EQ(offered("-a ''"), "stick\n");
  EXPECT_EQ(offered("-r r"), "request.json\n");
  EXPECT_EQ(offered("-n ''"), "\n");
}

}  // namespace
}  // namespace quillfen
