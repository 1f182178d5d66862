// Nothing beyond the volume, with the real service on a private bus and the
// real quillfen-remove: other file systems mounted beneath the volume (tmpfs
// and bind mounts, as root), the root of the system however it is spelt,
// and folders moved out of the volume while they are emptied. Whatever
// lies outside the volume or on another mount must be left byte for byte.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "base/error_text.h"
#include "platform/unique_fd.h"
#include "protocol/value.h"
#include "removal-engine/volume_bounds.h"
#include "testing/program.h"
#include "testing/support.h"
#include "testing/temp_tree.h"
#include "testing/test_bus.h"

namespace quillfen {
namespace {

namespace fs = std::filesystem;
using testing::ErrorPaths;
using testing::RemovalRequestFor;
using testing::TempTree;
using testing::TreeSnapshot;

// A file system (a tmpfs, or |source| bound) mounted for one test and
// detached when it ends. A machine that refuses the mount fails the test
// with its reason.
struct Mount {
  Mount(const std::string& on, const std::string& source = "") : target(on) {
    mounted = mount(source.empty() ? "tmpfs" : source.c_str(), on.c_str(),
                    source.empty() ? "tmpfs" : nullptr,
                    source.empty() ? 0 : MS_BIND, nullptr) == 0;
    if (!mounted) {
      ADD_FAILURE() << "this machine refused to mount on " << on << ": "
                    << SystemErrorText(errno)
                    << " (these tests run as root, as CI does)";
    }
  }
  ~Mount() {
    if (mounted) umount2(target.c_str(), MNT_DETACH);
  }
  std::string target;
  bool mounted;
};

std::string ErrorFor(const Dictionary& reply, const std::string& path) {
  const Value* errors = Find(reply, "errorDict");
  const Value* reason = errors ? Find(*errors->AsDictionary(), path) : nullptr;
  return reason != nullptr && reason->AsString() ? *reason->AsString() : "";
}

class BeyondTheVolumeTest : public ::testing::Test {
 protected:
  BeyondTheVolumeTest() : connection_(bus_.Connect()) {}

  Dictionary CallService(const Dictionary& request) {
    return testing::CallRemoveWithFileDict(*connection_, request);
  }
  std::string Full(const std::string& relative) {
    return volume_.PathOf(relative);
  }

  TempTree volume_, outside_, config_;
  testing::TestBus bus_;
  std::unique_ptr<sdbus::IConnection> connection_;
};

// A tmpfs beneath a selected folder, a selected mount point (a folder, a
// "._" folder and a file), and a bind mount of an outside folder of the
// same file system: a preview, find's listing alone, then the walk.
TEST_F(BeyondTheVolumeTest, OtherMountsAreNeverEnteredRemovedOrListed) {
  for (const char* file :
       {"a.tmp", "._a", "keep.txt", "f.tmp", "cache.tmp/x.tmp", "cache.tmp/._c",
        "cache.tmp/other/.keep"}) {
    volume_.MakeFile(file);
  }
  for (const char* folder : {"mp.tmp", "._mnt", "bind"})
    volume_.MakeDir(folder);
  for (const char* file : {"shared/x.tmp", "shared/deep/._p", "file.doc"}) {
    outside_.MakeFile(file, "outside");
  }
  std::optional<Mount> other(Full("cache.tmp/other"));
  Mount mount_point(Full("mp.tmp")), apple_double_mount(Full("._mnt"));
  Mount bind(Full("bind"), outside_.PathOf("shared"));
  Mount file_bind(Full("f.tmp"), outside_.PathOf("file.doc"));
  ASSERT_FALSE(HasFailure());
  for (const char* file :
       {"cache.tmp/other/docs/thesis.odt", "cache.tmp/other/y.tmp",
        "cache.tmp/other/._z", "mp.tmp/._i", "._mnt/z.doc"}) {
    volume_.MakeFile(file, "on another mount");
  }
  auto mounts_and_outside = [&] {
    return TreeSnapshot(Full("cache.tmp/other")) +
           TreeSnapshot(Full("mp.tmp")) + TreeSnapshot(Full("._mnt")) +
           TreeSnapshot(outside_.path());
  };
  const std::string before = mounts_and_outside();
  const std::string kNeverEnters = "which this removal never enters.";

  // The preview names what it won't enter, and selects nothing there.
  testing::Program preview(
      QUILLFEN_CLIENT_PATH,
      testing::ProgramSetup({"--preview", "-a", "-e", "tmp", volume_.path()},
                            {"XDG_CONFIG_HOME=" + config_.path()}));
  ASSERT_TRUE(preview.WaitFor(testing::kPatience));
  for (const char* m : {"cache.tmp/other (tmpfs)", "bind ("}) {
    EXPECT_NE(preview.out().find(volume_.path() + "/" + m), std::string::npos)
        << m << "\n"
        << preview.out();
  }
  EXPECT_EQ(preview.out().find("y.tmp"), std::string::npos) << preview.out();
  EXPECT_NE(preview.out().find(kNeverEnters), std::string::npos);

  // find's listing alone: its lines on other mounts are dropped, and a "._"
  // mount point stays, in words.
  Dictionary reply = CallService(RemovalRequestFor(volume_.path(), true));
  EXPECT_EQ(testing::RemovedPaths(reply),
            (std::set<std::string>{Full("._a"), Full("cache.tmp/._c")}));
  EXPECT_EQ(ErrorPaths(reply), (std::set<std::string>{Full("._mnt")}));
  EXPECT_NE(
      ErrorFor(reply, Full("._mnt")).find("mounted on it, " + kNeverEnters),
      std::string::npos);
  EXPECT_EQ(mounts_and_outside(), before) << "listing";

  // The walk: what lies on the volume's own mount goes, mount points and
  // the folders holding them stay, each said once.
  reply = CallService(RemovalRequestFor(volume_.path(), true, {"tmp"}));
  EXPECT_EQ(testing::RemovedPaths(reply),
            (std::set<std::string>{Full("a.tmp"), Full("cache.tmp/x.tmp")}));
  EXPECT_EQ(ErrorPaths(reply),
            (std::set<std::string>{Full("cache.tmp"), Full("mp.tmp"),
                                   Full("._mnt"), Full("f.tmp")}));
  // "x.tmp" went from it, and that is said too.
  EXPECT_EQ(ErrorFor(reply, Full("cache.tmp")),
            "“cache.tmp” couldn’t be removed whole: 1 of the items in it was "
            "removed, but not the rest. It holds another file system, "
            "mounted on “other”, " +
                kNeverEnters);
  EXPECT_EQ(mounts_and_outside(), before) << "walk";
  EXPECT_TRUE(volume_.Exists("keep.txt"));
  // What the mount covers on the volume's own file system is no business
  // of the removal's either.
  other.reset();
  EXPECT_TRUE(volume_.Exists("cache.tmp/other/.keep"));
}

// "/" however it is spelt: refused by the service in words under the
// spelling sent, and by quillfen-remove even with --force. The request
// selects a name nothing has, so that a regression would walk the system
// but change nothing.
TEST_F(BeyondTheVolumeTest, TheRootIsNeverAVolume) {
  const std::string kNobodysName = "quillfen-no-such-item-7c1e";
  for (const std::string spelling : {"/", "/./tmp/../"}) {
    Dictionary reply =
        CallService(RemovalRequestFor(spelling, false, {}, {kNobodysName}));
    EXPECT_TRUE(testing::RemovedPaths(reply).empty()) << spelling;
    EXPECT_EQ(ErrorPaths(reply), (std::set<std::string>{spelling}));
    EXPECT_EQ(ErrorFor(reply, spelling),
              "The volume “" + spelling +
                  "” is the root of the system, which is never cleaned as a "
                  "volume.");
  }
  testing::Program client(
      QUILLFEN_CLIENT_PATH,
      testing::ProgramSetup({"--force", "-n", kNobodysName, "/tmp/.."},
                            {"XDG_CONFIG_HOME=" + config_.path(),
                             "DBUS_SESSION_BUS_ADDRESS=" + bus_.address()}));
  ASSERT_TRUE(client.WaitFor(testing::kPatience));
  EXPECT_EQ(client.exit_status(), 2);
  EXPECT_TRUE(client.err().starts_with(
      "quillfen-remove: /tmp/.. is the root of the system"))
      << client.err();
}

// Watches a folder's deletions and the arrival of a folder elsewhere in one
// inotify queue, which keeps their order: what was deleted after the move
// was deleted outside the volume. Run waits for the first deletion, calls
// |move|, and counts the deletions after the arrival until |done|.
class MoveWatch {
 public:
  MoveWatch(const std::string& emptied, const std::string& destination)
      : fd_(inotify_init1(IN_CLOEXEC)),
        emptied_(inotify_add_watch(fd_.get(), emptied.c_str(), IN_DELETE)),
        arrival_(
            inotify_add_watch(fd_.get(), destination.c_str(), IN_MOVED_TO)) {}
  bool ok() const { return fd_ && emptied_ >= 0 && arrival_ >= 0; }

  void Run(const std::function<void()>& move, const std::atomic<bool>& done) {
    bool moved = false;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
      const bool finished = done.load();
      pollfd poll_fd{fd_.get(), POLLIN, 0};
      if (poll(&poll_fd, 1, finished ? 0 : 50) <= 0) {
        if (finished) return;
        continue;
      }
      ssize_t n = read(fd_.get(), buffer, sizeof buffer);
      for (ssize_t at = 0; at < n;) {
        auto* event = reinterpret_cast<inotify_event*>(buffer + at);
        at += sizeof(inotify_event) + event->len;
        overflowed |= (event->mask & IN_Q_OVERFLOW) != 0;
        if (event->wd == arrival_ && (event->mask & IN_MOVED_TO))
          arrived = true;
        if (event->wd != emptied_ || !(event->mask & IN_DELETE)) continue;
        if (arrived) ++deleted_outside;
        if (!moved) move();
        moved = true;
      }
    }
  }

  bool arrived = false, overflowed = false;
  int deleted_outside = 0;

 private:
  UniqueFd fd_;
  const int emptied_, arrival_;
};

// A folder moved out of the volume once removal inside it has begun, live:
// once inside a folder the walk empties of its selected files, once inside
// a selected folder removed whole. At most a batch goes after the move; the
// rest stays where it went, and the reply says so.
TEST_F(BeyondTheVolumeTest, AFolderMovedOutDuringItsRemovalIsLeftWhereItWent) {
  constexpr int kFiles = 20000;
  // The folder removed whole ("" for files the walk selects), and the one
  // moved out.
  for (const auto& [selected, moved] :
       {std::pair{"", "mv/proj"}, std::pair{"mv.tmp", "mv.tmp/proj"}}) {
    SCOPED_TRACE(moved);
    const std::string proj = Full(moved), emptied = proj + "/d000";
    const std::string destination = outside_.PathOf(moved);
    testing::MakeManyFiles(proj, 1, kFiles, ".tmp");
    const std::string parent = fs::path(destination).parent_path();
    fs::create_directories(parent);

    MoveWatch watch(emptied, parent);
    ASSERT_TRUE(watch.ok()) << SystemErrorText(errno);
    std::atomic<bool> done = false;
    std::thread watching([&] {
      watch.Run([&] { rename(proj.c_str(), destination.c_str()); }, done);
    });
    Dictionary reply =
        CallService(RemovalRequestFor(volume_.path(), false, {"tmp"}));
    done = true;
    watching.join();

    ASSERT_TRUE(watch.arrived) << "the move came after the removal";
    EXPECT_FALSE(watch.overflowed);
    EXPECT_LE(watch.deleted_outside,
              static_cast<int>(VolumeBounds::kRemovalsPerCheck));
    long left = testing::EntryCount(destination + "/d000");
    EXPECT_GT(left, 0);
    // What the reply lists inside the moved folder was deleted, and no more
    // than went before the move and the one batch after it.
    long listed_inside = std::ranges::count_if(
        testing::RemovedPaths(reply),
        [&](const std::string& path) { return path.starts_with(proj + "/"); });
    EXPECT_LE(listed_inside, kFiles - left);
    const std::string failing = *selected ? Full(selected) : emptied;
    EXPECT_NE(ErrorFor(reply, failing).find("moved out of the volume"),
              std::string::npos)
        << failing;
    const std::string top = fs::path(moved).begin()->string();
    fs::remove_all(outside_.PathOf(top));
    fs::remove_all(Full(top));
  }
}

}  // namespace
}  // namespace quillfen
