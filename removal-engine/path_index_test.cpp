#include "removal-engine/path_index.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillfen {
namespace {

TEST(PathIndexTest, FindsEveryPathAddedThroughGrowthAndNoOther) {
  // Many paths that share long beginnings and differ at the end, as a
  // volume's do; the index grows many times on the way.
  std::vector<std::string> paths;
  for (int folder = 0; folder < 50; ++folder) {
    for (int item = 0; item < 100; ++item) {
      paths.push_back("photos " + std::to_string(folder) + "/._IMG_" +
                      std::to_string(item));
    }
  }
  auto path_of = [&paths](std::uint32_t number) -> std::string_view {
    return paths[number];
  };
  PathIndex index;
  EXPECT_FALSE(index.Contains("photos 0/._IMG_0", path_of));
  for (std::uint32_t number = 0; number < paths.size(); ++number) {
    ASSERT_TRUE(index.Add(number, path_of)) << paths[number];
  }
  EXPECT_EQ(index.size(), paths.size());
  for (const std::string& path : paths) {
    EXPECT_TRUE(index.Contains(path, path_of)) << path;
    EXPECT_FALSE(index.Contains(path + "/", path_of)) << path;
    EXPECT_FALSE(index.Contains(path.substr(1), path_of)) << path;
  }
  EXPECT_FALSE(index.Contains("", path_of));

  // The same text under another number is a duplicate, and stays out.
  std::size_t first_count = paths.size();
  for (std::size_t i = 0; i < first_count; i += 7) paths.push_back(paths[i]);
  for (std::uint32_t number = first_count; number < paths.size(); ++number) {
    EXPECT_FALSE(index.Add(number, path_of)) << paths[number];
  }
  EXPECT_EQ(index.size(), first_count);
}

}  // namespace
}  // namespace quillfen
