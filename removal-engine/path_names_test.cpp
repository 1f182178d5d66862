#include "removal-engine/path_names.h"

#include <gtest/gtest.h>

namespace quillfen {
namespace {

TEST(PathNamesTest, ExtensionIsTheTextAfterTheLastDot) {
  EXPECT_EQ(NameExtension("report.tmp"), "tmp");
  EXPECT_EQ(NameExtension("a.tar.gz"), "gz");
  EXPECT_EQ(NameExtension("Makefile"), "");
  EXPECT_EQ(NameExtension("trailing."), "");
  // A leading dot alone marks a hidden name, not an extension.
  EXPECT_EQ(NameExtension(".profile"), "");
  EXPECT_EQ(NameExtension("._x.jpg"), "jpg");
}

TEST(PathNamesTest, VolumePathHasOneSpelling) {
  EXPECT_EQ(NormalizeSlashes("//media///stick//"), "/media/stick");
  EXPECT_EQ(NormalizeSlashes("///"), "/");
  EXPECT_EQ(NormalizeSlashes("/a/./b/../c/"), "/a/./b/../c");
  EXPECT_EQ(JoinVolumePath("/", "a"), "/a");
}

TEST(PathNamesTest, Utf8Validity) {
  EXPECT_TRUE(IsValidUtf8("plain ascii that is longer than eight bytes"));
  EXPECT_TRUE(IsValidUtf8("Grüße, 日本語, 😀"));
  EXPECT_FALSE(IsValidUtf8("bad \xff byte after a long ascii run"));
  EXPECT_FALSE(IsValidUtf8("\xc3"));              // Truncated.
  EXPECT_FALSE(IsValidUtf8("\xc0\xaf"));          // Overlong slash.
  EXPECT_FALSE(IsValidUtf8("\xe0\x80\xaf"));      // Overlong, three bytes.
  EXPECT_FALSE(IsValidUtf8("\xed\xa0\x80"));      // UTF-16 surrogate.
  EXPECT_FALSE(IsValidUtf8("\xf4\x90\x80\x80"));  // Past U+10FFFF.
}

}  // namespace
}  // namespace quillfen
