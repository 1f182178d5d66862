// The Python example run as a desktop script would run it: /usr/bin/python3
// with Debian's python3-dbus, against the built service started by the
// test's private bus, on a volume slow enough to stop halfway.
#include <gtest/gtest.h>

#include <regex>

#include "testing/program.h"
#include "testing/support.h"
#include "testing/temp_tree.h"
#include "testing/test_bus.h"

namespace quillfen {
namespace {

TEST(RemoveWithJobsExampleTest, PreviewsStartsFollowsAndStopsItsOwnRemoval) {
  testing::TestBus bus;
  testing::TempTree volume;
  // Every folder holds names the wildcard can't settle within its budget:
  // the walk takes seconds on any disk.
  constexpr int kFolders = 60;
  for (int i = 0; i < kFolders * 3; ++i) {
    std::string stem = "d" + std::to_string(100 + i / 3) + "/";
    std::string j = std::to_string(i % 3);
    volume.MakeFile(stem + "x" + std::string(240, 'a') + "_" + j);
    volume.MakeFile(stem + "t" + j + ".tmp");
  }
  testing::Program script(
      "/usr/bin/python3",
      testing::ProgramSetup(
          {QUILLFEN_EXAMPLE, volume.path(), "(x)*a*a*a*a*a*c", "*.tmp"}));
  ASSERT_TRUE(script.WaitFor(testing::kPatience)) << script.err();
  ASSERT_EQ(script.exit_status(), 0) << script.err();
  const std::string out = script.out();
  EXPECT_EQ(testing::LinesStartingWith(out, "service ").at(0),
            std::string("service ") + QUILLFEN_VERSION);
  EXPECT_EQ(testing::LinesStartingWith(out, "would remove ").at(0),
            "would remove 180");
  EXPECT_FALSE(testing::LinesStartingWith(out, "removed ").empty()) << out;
  std::smatch completed;
  ASSERT_TRUE(std::regex_search(
      out, completed,
      std::regex("completed: (\\d+) removed, \\d+ not; The removal was "
                 "stopped before it finished")))
      << out;
  const std::size_t removed = std::stoul(completed[1]);
  EXPECT_GE(removed, 90u);  // Stopped once half was gone, not before.
  EXPECT_LT(removed, 180u);
  EXPECT_EQ(removed, kFolders * 7u - volume.Listing().size());
}

}  // namespace
}  // namespace quillfen
