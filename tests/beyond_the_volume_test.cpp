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

#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <vector>

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

std::set<std::string> ErrorPaths(const Dictionary& reply) {
  std::set<std::string> paths;
  if (const Value* errors = Find(reply, "errorDict")) {
    for (const auto& [path, reason] : *errors->AsDictionary()) {
      paths.insert(path);
    }
  }
  return paths;
}

std::string ErrorFor(const Dictionary& reply, const std::string& path) {
  const Value* errors = Find(reply, "errorDict");
  if (errors == nullptr) return "";
  const Value* reason = Find(*errors->AsDictionary(), path);
  return reason != nullptr && reason->AsString() ? *reason->AsString() : "";
}

Dictionary Request(const std::string& volume, bool apple_double,
                   std::vector<std::string> extensions = {},
                   std::vector<std::string> names = {}) {
  Array extension_list, name_list;
  for (const std::string& e : extensions) extension_list.emplace_back(e);
  for (const std::string& n : names) name_list.emplace_back(n);
  return Dictionary{{"volumePath", Value(volume)},
                    {"appleDouble", Value(apple_double)},
                    {"extensionsArray", Value(std::move(extension_list))},
                    {"fileRemovalArray", Value(std::move(name_list))}};
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
// same file system: find's listing alone, then the walk, then a preview.
TEST_F(BeyondTheVolumeTest, OtherMountsAreNeverEnteredRemovedOrListed) {
  for (const char* file : {"a.tmp", "._a", "keep.txt", "cache.tmp/x.tmp",
                           "cache.tmp/._c", "cache.tmp/other/.keep"}) {
    volume_.MakeFile(file);
  }
  for (const char* folder : {"mp.tmp", "._mnt", "bind"}) {
    volume_.MakeDir(folder);
  }
  volume_.MakeFile("f.tmp");
  for (const char* file :
       {"shared/x.tmp", "shared/._o", "shared/deep/._p", "file.doc"}) {
    outside_.MakeFile(file, "outside");
  }
  std::optional<Mount> other(Full("cache.tmp/other"));
  Mount mount_point(Full("mp.tmp")), apple_double_mount(Full("._mnt"));
  Mount bind(Full("bind"), outside_.PathOf("shared"));
  Mount file_bind(Full("f.tmp"), outside_.PathOf("file.doc"));
  ASSERT_FALSE(HasFailure());
  for (const char* file :
       {"cache.tmp/other/important.doc", "cache.tmp/other/docs/thesis.odt",
        "cache.tmp/other/y.tmp", "cache.tmp/other/._z", "mp.tmp/inside.doc",
        "mp.tmp/._i", "._mnt/z.doc"}) {
    volume_.MakeFile(file, "on another mount");
  }
  const std::vector<std::string> mounts = {"cache.tmp/other", "mp.tmp",
                                           "._mnt"};
  std::vector<std::string> before;
  for (const std::string& m : mounts) before.push_back(TreeSnapshot(Full(m)));
  const std::string outside_before = TreeSnapshot(outside_.path());

  auto expect_mounts_untouched = [&](const std::string& step) {
    for (std::size_t i = 0; i < mounts.size(); ++i) {
      EXPECT_EQ(TreeSnapshot(Full(mounts[i])), before[i]) << step;
    }
    EXPECT_EQ(TreeSnapshot(outside_.path()), outside_before) << step;
  };
  const std::string kNeverEnters = "which this removal never enters.";

  // The preview names what it won't enter, and selects nothing there.
  testing::Program preview(
      QUILLFEN_CLIENT_PATH,
      testing::ProgramSetup({"--preview", "-a", "-e", "tmp", volume_.path()},
                            {"XDG_CONFIG_HOME=" + config_.path()}));
  ASSERT_TRUE(preview.WaitFor(testing::kPatience));
  for (const char* m : {"cache.tmp/other (tmpfs)", "mp.tmp (tmpfs)",
                        "._mnt (tmpfs)", "bind (", "f.tmp ("}) {
    EXPECT_NE(preview.out().find(volume_.path() + "/" + m), std::string::npos)
        << m << "\n"
        << preview.out();
  }
  EXPECT_EQ(preview.out().find("y.tmp"), std::string::npos) << preview.out();
  EXPECT_NE(preview.out().find(kNeverEnters), std::string::npos);

  // find's listing alone: its lines on other mounts are dropped, and a "._"
  // mount point stays, in words.
  Dictionary reply = CallService(Request(volume_.path(), true));
  EXPECT_EQ(testing::RemovedPaths(reply),
            (std::set<std::string>{Full("._a"), Full("cache.tmp/._c")}));
  EXPECT_EQ(ErrorPaths(reply), (std::set<std::string>{Full("._mnt")}));
  EXPECT_EQ(ErrorFor(reply, Full("._mnt")),
            "“._mnt” couldn’t be removed because another file system is "
            "mounted on it, " +
                kNeverEnters);
  expect_mounts_untouched("listing");

  // The walk: what lies on the volume's own mount goes, mount points and
  // the folders holding them stay, each said once.
  reply = CallService(Request(volume_.path(), true, {"tmp"}));
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
  for (const char* item : {"mp.tmp", "f.tmp"}) {
    EXPECT_NE(ErrorFor(reply, Full(item))
                  .find("another file system is "
                        "mounted on it"),
              std::string::npos)
        << item;
  }
  expect_mounts_untouched("walk");
  EXPECT_TRUE(volume_.Exists("keep.txt"));
  // What the mount covers on the volume's own file system is no business
  // of the removal's either.
  other.reset();
  EXPECT_TRUE(volume_.Exists("cache.tmp/other/.keep"));
}

// "/" however it is spelt: refused by the service in words under the
// spelling sent, and by quillfen-remove (even with --force) before any
// exchange. The request selects a name nothing has, so that a regression
// would walk the system but change nothing.
TEST_F(BeyondTheVolumeTest, TheRootIsNeverAVolume) {
  const std::string kNobodysName = "quillfen-no-such-item-7c1e";
  for (const std::string spelling : {"/", "/./tmp/../"}) {
    Dictionary reply =
        CallService(Request(spelling, false, {}, {kNobodysName}));
    EXPECT_TRUE(testing::RemovedPaths(reply).empty()) << spelling;
    EXPECT_EQ(ErrorPaths(reply), (std::set<std::string>{spelling}));
    EXPECT_EQ(ErrorFor(reply, spelling),
              "The volume “" + spelling +
                  "” is the root of the system, which is never cleaned as a "
                  "volume.");
  }
  // The client refuses "/" however spelt, even with --force.
  testing::Program client(
      QUILLFEN_CLIENT_PATH,
      testing::ProgramSetup({"--force", "-n", kNobodysName, "/tmp/.."},
                            {"XDG_CONFIG_HOME=" + config_.path(),
                             "DBUS_SESSION_BUS_ADDRESS=" + bus_.address()}));
  ASSERT_TRUE(client.WaitFor(testing::kPatience));
  EXPECT_EQ(client.exit_status(), 2);
  EXPECT_EQ(client.out(), "");
  EXPECT_TRUE(client.err().starts_with(
      "quillfen-remove: /tmp/.. is the root of the system"))
      << client.err();
  EXPECT_EQ(testing::LinesStartingWith(client.err(), "").size(), 1u);
}

// Watches a folder's deletions and the arrival of a folder elsewhere in one
// inotify queue, which keeps their order: what was deleted after the move
// was deleted outside the volume.
class MoveWatch {
 public:
  MoveWatch(const std::string& emptied, const std::string& destination)
      : fd_(inotify_init1(IN_CLOEXEC)) {
    emptied_ = inotify_add_watch(fd_.get(), emptied.c_str(), IN_DELETE);
    arrival_ = inotify_add_watch(fd_.get(), destination.c_str(), IN_MOVED_TO);
  }
  bool ok() const { return fd_ && emptied_ >= 0 && arrival_ >= 0; }

  // Waits for the first deletion, calls |move|, and counts the deletions
  // that come after the move's arrival until |done| is ready.
  void Run(const std::function<void()>& move, std::future<void>& done) {
    bool moved = false;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
      bool finished =
          done.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
      pollfd poll_fd{fd_.get(), POLLIN, 0};
      if (poll(&poll_fd, 1, finished ? 0 : 50) <= 0) {
        if (finished) return;
        continue;
      }
      ssize_t n = read(fd_.get(), buffer, sizeof buffer);
      for (ssize_t at = 0; at < n;) {
        auto* event = reinterpret_cast<inotify_event*>(buffer + at);
        at += sizeof(inotify_event) + event->len;
        if (event->mask & IN_Q_OVERFLOW) overflowed = true;
        if (event->wd == emptied_ && (event->mask & IN_DELETE)) {
          if (arrived) ++deleted_outside;
          if (!moved) {
            moved = true;
            move();
          }
        }
        if (event->wd == arrival_ && (event->mask & IN_MOVED_TO)) {
          arrived = true;
        }
      }
    }
  }

  bool arrived = false;
  bool overflowed = false;
  int deleted_outside = 0;

 private:
  UniqueFd fd_;
  int emptied_ = -1;
  int arrival_ = -1;
};

// A folder moved out of the volume once removal inside it has begun, live:
// once inside a folder the walk empties of its selected files, once inside
// a selected folder removed whole. At most a batch goes after the move; the
// rest stays where it went, and the reply says so.
TEST_F(BeyondTheVolumeTest, AFolderMovedOutDuringItsRemovalIsLeftWhereItWent) {
  constexpr int kFiles = 20000;
  struct Case {
    std::string selected;  // Removed whole, or "" for files the walk selects.
    std::string moved;     // The folder moved out, in the volume.
  };
  for (const Case& c : {Case{"", "mv/proj"}, Case{"mv.tmp", "mv.tmp/proj"}}) {
    SCOPED_TRACE(c.moved);
    std::string proj = Full(c.moved);
    testing::MakeManyFiles(proj, 1, kFiles, ".tmp");
    std::string emptied = proj + "/d000";
    std::string destination = outside_.PathOf(c.moved);
    std::filesystem::create_directories(
        std::filesystem::path(destination).parent_path());

    MoveWatch watch(
        emptied,
        outside_.PathOf(std::filesystem::path(c.moved).parent_path().string()));
    ASSERT_TRUE(watch.ok()) << SystemErrorText(errno);
    std::promise<void> finished;
    std::future<void> done = finished.get_future();
    auto watching = std::async(std::launch::async, [&] {
      watch.Run([&] { rename(proj.c_str(), destination.c_str()); }, done);
    });
    Dictionary reply = CallService(Request(volume_.path(), false, {"tmp"}));
    finished.set_value();
    watching.get();

    ASSERT_TRUE(watch.arrived) << "the move came after the removal";
    EXPECT_FALSE(watch.overflowed);
    EXPECT_LE(watch.deleted_outside,
              static_cast<int>(VolumeBounds::kRemovalsPerCheck));
    long left = testing::EntryCount(destination + "/d000");
    EXPECT_GT(left, 0);
    // What the reply lists inside the moved folder was deleted, and no more
    // than went before the move and the one batch after it.
    int listed_inside = 0;
    for (const std::string& path : testing::RemovedPaths(reply)) {
      if (path.starts_with(proj + "/")) ++listed_inside;
    }
    EXPECT_LE(listed_inside, kFiles - left);
    std::string failing = c.selected.empty() ? emptied : Full(c.selected);
    EXPECT_NE(ErrorFor(reply, failing).find("moved out of the volume"),
              std::string::npos)
        << failing;
    std::filesystem::remove_all(
        outside_.PathOf(std::filesystem::path(c.moved).begin()->string()));
    std::filesystem::remove_all(Full(c.moved.substr(0, c.moved.find('/'))));
  }
}

}  // namespace
}  // namespace quillfen
