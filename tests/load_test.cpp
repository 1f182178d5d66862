// Load on the real, bus-activated service: many callers at once over one
// bus, each with a volume of its own, one reply of two hundred thousand
// paths, over the bus and over the whole road through the shared domain,
// and one reply too large for a bus message (on a tmpfs, as root).
// QUILLFEN_LOAD_CALLERS sets how many callers there are (50 by default).
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <latch>
#include <memory>
#include <thread>

#include "base/error_text.h"
#include "platform/shared_suite.h"
#include "protocol/identifiers.h"
#include "protocol/json_form.h"
#include "protocol/removal_keys.h"
#include "testing/program.h"
#include "testing/support.h"
#include "testing/temp_tree.h"
#include "testing/test_bus.h"

namespace quillfen {
namespace {

using namespace std::chrono_literals;
using testing::TempTree;
using testing::TestBus;

constexpr int kHugeFolders = 400;
constexpr int kHugeFilesPerFolder = 500;

RemovalRequest RemoveTmpFiles(const std::string& volume) {
  return {{std::string(kVolumePathKey), Value(volume)},
          {std::string(kAppleDoubleKey), Value(true)},
          {std::string(kExtensionsArrayKey), Value(Array{Value("tmp")})}};
}

TEST(LoadTest, ManyCallersAtOnceEachGetTheirOwnReply) {
  const int callers =
      static_cast<int>(testing::Knob("QUILLFEN_LOAD_CALLERS", 50));
  TestBus bus;
  struct Caller {
    TempTree volume;
    std::string tag;
    std::set<std::string> expected;
    std::unique_ptr<sdbus::IConnection> connection;
    Dictionary reply;
    std::string error;
  };
  std::vector<std::unique_ptr<Caller>> all;
  for (int i = 0; i < callers; ++i) {
    auto caller = std::make_unique<Caller>();
    // Names and numbers of its own, so that a reply meant for another
    // caller can't pass for this one's.
    std::string& tag = caller->tag = std::to_string(i);
    for (int n = 0; n <= i % 4; ++n) {
      std::string name = "item" + tag + "-" + std::to_string(n) + ".tmp";
      caller->volume.MakeFile(name);
      caller->volume.MakeFile("sub/._" + name);
      caller->expected.insert(caller->volume.PathOf(name));
      caller->expected.insert(caller->volume.PathOf("sub/._" + name));
    }
    caller->volume.MakeFile("sub/kept" + tag + ".txt");
    caller->connection = bus.Connect();
    all.push_back(std::move(caller));
  }

  std::latch start(callers + 1);
  std::vector<std::thread> threads;
  for (auto& caller : all) {
    threads.emplace_back([&start, &caller = *caller] {
      start.arrive_and_wait();
      try {
        caller.reply = testing::CallRemoveWithFileDict(
            *caller.connection, RemoveTmpFiles(caller.volume.path()));
      } catch (const std::exception& e) {
        caller.error = e.what();
      }
    });
  }
  start.arrive_and_wait();
  for (std::thread& thread : threads) thread.join();

  int served = 0;
  for (auto& caller : all) {
    // Its own paths, each once, and nothing else.
    const Value* paths = Find(caller->reply, kPathArrayKey);
    bool whole =
        caller->error.empty() && paths &&
        paths->AsArray()->size() == caller->expected.size() &&
        testing::RemovedPaths(caller->reply) == caller->expected &&
        Find(caller->reply, kVolumePathKey) &&
        *Find(caller->reply, kVolumePathKey) == Value(caller->volume.path()) &&
        Find(caller->reply, kErrorDictKey) &&
        *Find(caller->reply, kErrorDictKey) == Value(Dictionary()) &&
        caller->volume.Listing() ==
            std::vector<std::string>{"sub/", "sub/kept" + caller->tag + ".txt"};
    EXPECT_TRUE(whole) << caller->volume.path() << ": " << caller->error << " "
                       << JsonTextFromValue(Value(caller->reply));
    served += whole;
  }
  EXPECT_EQ(served, callers);
  testing::ReportFigure("callers served", served);
}

// A volume whose removal answers with two hundred thousand paths.
class HugeReplyTest : public ::testing::Test {
 protected:
  HugeReplyTest()
      : paths_(testing::MakeManyFiles(volume_.path(), kHugeFolders,
                                      kHugeFilesPerFolder, ".tmp")) {}

  // The whole reply: every path once, a sample of them by name, nothing
  // left on disk, no error.
  void ExpectWholeReply(const Dictionary& reply) {
    const Value* array = Find(reply, kPathArrayKey);
    ASSERT_TRUE(array && array->AsArray());
    EXPECT_EQ(array->AsArray()->size(), paths_.size());
    std::set<std::string> removed = testing::RemovedPaths(reply);
    EXPECT_EQ(removed.size(), paths_.size());
    for (std::size_t i = 0; i < paths_.size(); i += 997) {
      EXPECT_TRUE(removed.contains(volume_.PathOf(paths_[i]))) << paths_[i];
    }
    EXPECT_TRUE(removed.contains(volume_.PathOf(paths_.back())));
    EXPECT_EQ(*Find(reply, kErrorDictKey), Value(Dictionary()));
    EXPECT_EQ(testing::EntryCount(volume_.PathOf("d000")), 0);
    EXPECT_EQ(testing::EntryCount(volume_.PathOf("d399")), 0);
  }

  TempTree volume_, config_;
  std::vector<std::string> paths_;
  TestBus bus_;
};

TEST_F(HugeReplyTest, DeliveredWholeOverTheBus) {
  auto connection = bus_.Connect();
  Dictionary reply = testing::CallRemoveWithFileDict(
      *connection, RemoveTmpFiles(volume_.path()));
  ExpectWholeReply(reply);
  testing::ReportFigure(
      "reply paths over the bus",
      static_cast<long long>(testing::RemovedPaths(reply).size()));
}

TEST_F(HugeReplyTest, DeliveredWholeThroughTheSharedDomain) {
  testing::Program client(
      QUILLFEN_CLIENT_PATH,
      testing::ProgramSetup({"--json", "-a", "-e", "tmp", volume_.path()},
                            {"DBUS_SESSION_BUS_ADDRESS=" + bus_.address(),
                             "XDG_CONFIG_HOME=" + config_.path()}));
  ASSERT_TRUE(client.WaitFor(10min)) << "the client hung";
  ASSERT_EQ(client.exit_status(), 0) << client.err();
  std::string out = client.out();
  ExpectWholeReply(testing::DictionaryFromJson(out));
  // What the client printed is the reply the tool stored, read back whole.
  setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
  std::optional<Value> stored =
      SharedSuite(SharedSuiteName).objectForKey("reply");
  unsetenv("XDG_CONFIG_HOME");
  ASSERT_TRUE(stored && stored->AsString());
  EXPECT_EQ(*stored->AsString() + "\n", out);
  testing::ReportFigure(
      "reply paths through the shared domain",
      static_cast<long long>(
          testing::RemovedPaths(testing::DictionaryFromJson(out)).size()));
  testing::ReportFigure("reply bytes through the shared domain",
                        static_cast<long long>(out.size() - 1));
}

// Three hundred thousand paths of about 240 bytes: over 64 MiB of reply,
// more than the bus carries in one message. The volume is a tmpfs of its
// own, which makes and removes them quickly.
constexpr int kBeyondFolders = 300;
constexpr int kBeyondFilesPerFolder = 1000;

class HugeReplyBeyondOneMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (mount("tmpfs", volume_.path().c_str(), "tmpfs", 0, "size=1g") != 0) {
      FAIL() << "this machine refused to mount a tmpfs on " << volume_.path()
             << ": " << SystemErrorText(errno)
             << " (this test runs as root, as CI does)";
    }
    mounted_ = true;
    paths_ = testing::MakeManyFiles(volume_.path(), kBeyondFolders,
                                    kBeyondFilesPerFolder,
                                    "-" + std::string(200, 'n') + ".tmp");
  }
  void TearDown() override {
    if (mounted_) umount2(volume_.path().c_str(), MNT_DETACH);
  }

  TempTree volume_, config_;
  bool mounted_ = false;
  std::vector<std::string> paths_;
  TestBus bus_;
};

TEST_F(HugeReplyBeyondOneMessageTest, ArrivesWholeThroughTheSharedDomain) {
  testing::Program client(
      QUILLFEN_CLIENT_PATH,
      testing::ProgramSetup({"--json", "-e", "tmp", volume_.path()},
                            {"DBUS_SESSION_BUS_ADDRESS=" + bus_.address(),
                             "XDG_CONFIG_HOME=" + config_.path()}));
  ASSERT_TRUE(client.WaitFor(5min)) << "the client hung";
  ASSERT_EQ(client.exit_status(), 0) << client.err();
  const std::string out = client.out();
  EXPECT_GT(out.size(), std::size_t{64} << 20);
  // The tool stored what the client printed.
  setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
  std::optional<Value> stored =
      SharedSuite(SharedSuiteName).objectForKey("reply");
  unsetenv("XDG_CONFIG_HOME");
  ASSERT_TRUE(stored && stored->AsString());
  EXPECT_EQ(*stored->AsString() + "\n", out);
  stored.reset();

  Dictionary reply = testing::DictionaryFromJson(out);
  std::set<std::string> removed = testing::RemovedPaths(reply);
  EXPECT_EQ(removed.size(), paths_.size());
  for (std::size_t i = 0; i < paths_.size(); i += 997) {
    EXPECT_TRUE(removed.contains(volume_.PathOf(paths_[i]))) << paths_[i];
  }
  EXPECT_TRUE(removed.contains(volume_.PathOf(paths_.back())));
  EXPECT_EQ(*Find(reply, kErrorDictKey), Value(Dictionary()));
  EXPECT_EQ(testing::EntryCount(volume_.PathOf("d000")), 0);
  EXPECT_EQ(testing::EntryCount(volume_.PathOf("d299")), 0);
  testing::ReportFigure("reply bytes beyond one bus message",
                        static_cast<long long>(out.size() - 1));
}

}  // namespace
}  // namespace quillfen
