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

Paths Listed(const PathList& list) { return Paths(list.begin(), list.end()); }

// The lines kept from |output| read whole, having checked that the output
// gives the same read a byte at a time and cut in two anywhere: find's
// pipe cuts it wherever it likes.
Paths Kept(std::string_view output, std::string_view volume,
           bool* dropped = nullptr) {
  AppleDoubleOutput at_once(volume);
  at_once.Read(output);
  bool whole_dropped = false;
  Paths whole = Listed(at_once.Finish(&whole_dropped));
  for (std::size_t cut = 0; cut <= output.size(); ++cut) {
    AppleDoubleOutput halves(volume);
    halves.Read(output.substr(0, cut));
    halves.Read(output.substr(cut));
    bool halves_dropped = false;
    EXPECT_EQ(Listed(halves.Finish(&halves_dropped)), whole) << "cut " << cut;
    EXPECT_EQ(halves_dropped, whole_dropped) << "cut " << cut;
  }
  AppleDoubleOutput bytes(volume);
  for (char c : output) bytes.Read(std::string_view(&c, 1));
  bool bytes_dropped = false;
  EXPECT_EQ(Listed(bytes.Finish(&bytes_dropped)), whole);
  EXPECT_EQ(bytes_dropped, whole_dropped);
  if (dropped != nullptr) *dropped = whole_dropped;
  return whole;
}

TEST(AppleDoubleOutputTest, KeepsOnlyAppleDoublePathsBeneathTheVolume) {
  std::string output =
      "/v/._a\n"
      "/v/sub/._b\n"
      "/v/._dir\n"
      "/v/._dir/x\n"         // Inside a "._" folder, but not itself one.
      "/v\n"                 // The volume itself.
      "/vx/._c\n"            // A sibling that shares the prefix.
      "relative/._d\n"       // Not absolute.
      "/v//._e\n"            // Not find's spelling.
      "/v/../._f\n"          // Leaves the volume.
      "/v/\xff/._h\n"        // Not UTF-8: dropped alone.
      "/v/._\xef\xbf\xbe\n"  // A noncharacter: dropped alone.
      "/v/._i\n";
  EXPECT_EQ(Kept(output, "/v"), (Paths{"._a", "sub/._b", "._dir", "._i"}));
}

// "/v/._x\ny" is one item whose name holds a line feed; "/v/d\n/._z" is an
// item in a folder named "d\n". Neither may become another path, and the
// caller learns that some item went unnamed.
TEST(AppleDoubleOutputTest, NamesHoldingLineFeedsAreDroppedWhole) {
  std::string output = "/v/._x\ny\n/v/._ok\n/v/d\n/._z\n/v/._last\n";
  bool dropped = false;
  EXPECT_EQ(Kept(output, "/v", &dropped), (Paths{"._ok", "._last"}));
  EXPECT_TRUE(dropped);
  // A name ending in a line feed leaves an empty continuation.
  EXPECT_EQ(Kept("/v/._n\n\n/v/._m\n", "/v"), (Paths{"._m"}));
  // The last line needn't end in a line feed.
  EXPECT_EQ(Kept("/v/._n\n/v/._m", "/v", &dropped), (Paths{"._n", "._m"}));
  EXPECT_FALSE(dropped);
}

// A volume whose own name begins "._" is listed first, and never kept.
TEST(AppleDoubleOutputTest, EmptyOutputAndVolumesOfAnyName) {
  bool dropped = true;
  EXPECT_TRUE(Kept("", "/v", &dropped).empty());
  EXPECT_FALSE(dropped);
  EXPECT_EQ(Kept("/v/._vol\n/v/._vol/._a\n", "/v/._vol", &dropped),
            (Paths{"._a"}));
  EXPECT_FALSE(dropped);
  EXPECT_EQ(Kept("/._a\n/b/._c\n", "/"), (Paths{"._a", "b/._c"}));
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
  EXPECT_EQ(Sorted(Listed(listing.paths)),
            Sorted({"._top", "a/b/c/._deep", "._folder", "._folder/._nested",
                    "with space/._é"}));
}

}  // namespace
}  // namespace quillfen
