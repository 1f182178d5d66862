#include "platform/mount_table.h"

#include <gtest/gtest.h>

namespace quillfen {
namespace {

TEST(MountTableTest, LinesAreReadWithTheirEscapesUndone) {
  MountPoint mount;
  // Optional fields before the separator, a space and a backslash in the
  // mount point.
  ASSERT_TRUE(ParseMountInfoLine(
      "36 35 98:0 / /media/My\\040Stick\\134x rw,noatime master:1 shared:2 - "
      "fuse.exfat /dev/sdb1 rw",
      &mount));
  EXPECT_EQ(mount.path, "/media/My Stick\\x");
  EXPECT_EQ(mount.type, "fuse.exfat");
  // A line cut short, or no line at all.
  EXPECT_FALSE(ParseMountInfoLine("40 22 0:45 / /mnt rw shared:1", &mount));
  EXPECT_FALSE(ParseMountInfoLine("", &mount));
}

}  // namespace
}  // namespace quillfen
