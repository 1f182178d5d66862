#include "removal-engine/apple_double_listing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "testing/temp_tree.h"

namespace quillfen {
namespace {

using ::quillfen::testing::TempTree;
using Paths = std::vector<std::string>;

Paths Sorted(Paths paths) {
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST(AppleDoubleOutputTest, KeepsOnlyAppleDoublePathsBeneathTheVolume) {
  std::string output =
      "/v/._a\n"
      "/v/sub/._b\n"
      "/v/._dir\n"
      "/v/._dir/x\n"    // Inside a "._" folder, but not itself one.
      "/v\n"            // The volume itself.
      "/vx/._c\n"       // A sibling that shares the prefix.
      "relative/._d\n"  // Not absolute.
      "/v//._e\n"       // Not find's spelling.
      "/v/../._f\n"     // Leaves the volume.
      "/v/./._g\n"
      "/v/\xff/._h\n"        // Not UTF-8: dropped alone.
      "/v/._\xef\xbf\xbe\n"  // A noncharacter: dropped alone.
      "/v/._i\n";
  EXPECT_EQ(AppleDoublePathsFromOutput(output, "/v"),
            (Paths{"/v/._a", "/v/sub/._b", "/v/._dir", "/v/._i"}));
}

TEST(AppleDoubleOutputTest, NamesHoldingLineFeedsAreDroppedWhole) {
  // "/v/._x\ny" is one item whose name holds a line feed; "/v/d\n/._z" is
  // an item in a folder named "d\n". Neither may become another path.
  std::string output = "/v/._x\ny\n/v/._ok\n/v/d\n/._z\n/v/._last\n";
  bool dropped = false;
  EXPECT_EQ(AppleDoublePathsFromOutput(output, "/v", &dropped),
            (Paths{"/v/._ok", "/v/._last"}));
  // The caller learns that some item went unnamed.
  EXPECT_TRUE(dropped);
  AppleDoublePathsFromOutput("/v/._ok\n/v/._last\n", "/v", &dropped);
  EXPECT_FALSE(dropped);
  // A name ending in a line feed leaves an empty continuation.
  EXPECT_EQ(AppleDoublePathsFromOutput("/v/._n\n\n/v/._m\n", "/v"),
            (Paths{"/v/._m"}));
}

TEST(AppleDoubleOutputTest, EmptyOutputAndTheRootVolume) {
  EXPECT_TRUE(AppleDoublePathsFromOutput("", "/v").empty());
  EXPECT_TRUE(AppleDoublePathsFromOutput("\n", "/v").empty());
  // A volume whose own name begins "._" is listed first, and never kept.
  bool dropped = true;
  EXPECT_EQ(AppleDoublePathsFromOutput("/v/._vol\n/v/._vol/._a\n", "/v/._vol",
                                       &dropped),
            (Paths{"/v/._vol/._a"}));
  EXPECT_FALSE(dropped);
  EXPECT_EQ(AppleDoublePathsFromOutput("/._a\n/b/._c\n", "/"),
            (Paths{"/._a", "/b/._c"}));
}

// With a shell in between, "._*" would expand against the working folder.
TEST(AppleDoubleListingTest, FindListsFilesAndFoldersAtAnyDepthUnexpanded) {
  TempTree tree, cwd;
  cwd.MakeFile("._decoy");
  tree.MakeFile("._top");
  tree.MakeFile("a/b/c/._deep");
  tree.MakeFile("._folder/inside.txt");
  tree.MakeFile("._folder/._nested");
  tree.MakeFile("plain.txt");
  tree.MakeFile("not._prefix");
  tree.MakeFile("with space/._é");
  std::string old = std::filesystem::current_path();
  std::filesystem::current_path(cwd.path());
  AppleDoubleListing listing = ListAppleDoubleFiles(tree.path());
  std::filesystem::current_path(old);
  EXPECT_EQ(listing.failure, "");
  EXPECT_EQ(Sorted(listing.paths),
            Sorted({tree.PathOf("._top"), tree.PathOf("a/b/c/._deep"),
                    tree.PathOf("._folder"), tree.PathOf("._folder/._nested"),
                    tree.PathOf("with space/._é")}));
}

}  // namespace
}  // namespace quillfen
