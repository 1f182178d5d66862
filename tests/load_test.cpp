// Load on the real, bus-activated service: many callers at once over one
// bus, each with a volume of its own, one reply of two hundred thousand
// paths, over the bus and over the whole road through the shared domain,
// and one reply too large for a bus message (on a tmpfs, as root), to a
// caller that takes descriptors and to one that doesn't.
// QUILLFEN_LOAD_CALLERS sets how many callers there are (50 by default).
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <systemd/sd-bus.h>

#include <latch>
#include <memory>
#include <thread>

#include "base/error_text.h"
#include "platform/shared_suite.h"
#include "protocol/identifiers.h"
#include "protocol/json_form.h"
#include "protocol/removal_keys.h"
#include "service-bus/bus_names.h"
#include "testing/program.h"
#include "testing/support.h"
#include "testing/temp_tree.h"
#include "testing/test_bus.h"

namespace quillfen {
namespace {

using namespace std::chrono_literals;
using testing::TempTree;
using testing::TestBus;

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
    std::set<std::string> expected;
    std::unique_ptr<sdbus::IConnection> connection;
    Dictionary reply;
    std::string error;
  };
  std::vector<std::unique_ptr<Caller>> all;
  for (int i = 0; i < callers; ++i) {
    auto& caller = *all.emplace_back(std::make_unique<Caller>());
    // Names and numbers of its own, so that a reply meant for another
    // caller can't pass for this one's.
    for (int n = 0; n <= i % 4; ++n) {
      for (std::string name : {"", "sub/._"}) {
        name += "item" + std::to_string(i) + "-" + std::to_string(n) + ".tmp";
        caller.volume.MakeFile(name);
        caller.expected.insert(caller.volume.PathOf(name));
      }
    }
    caller.volume.MakeFile("sub/kept.txt");
    caller.connection = bus.Connect();
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
    const Value* errors = Find(caller->reply, kErrorDictKey);
    bool whole = caller->error.empty() && paths &&
                 paths->AsArray()->size() == caller->expected.size() &&
                 testing::RemovedPaths(caller->reply) == caller->expected &&
                 errors && *errors == Value(Dictionary()) &&
                 caller->volume.Listing() ==
                     std::vector<std::string>{"sub/", "sub/kept.txt"};
    EXPECT_TRUE(whole) << caller->volume.path() << ": " << caller->error << " "
                       << JsonTextFromValue(Value(caller->reply));
    served += whole;
  }
  EXPECT_EQ(served, callers);
  testing::ReportFigure("callers served", served);
}

// The whole reply of a removal of |paths| (made by MakeManyFiles beneath
// |volume|): every path once, a sample of them by name, no error, and
// nothing left in the first and the last folder.
void ExpectWholeReply(const Dictionary& reply, const TempTree& volume,
                      const std::vector<std::string>& paths) {
  const Value* array = Find(reply, kPathArrayKey);
  ASSERT_TRUE(array && array->AsArray());
  EXPECT_EQ(array->AsArray()->size(), paths.size());
  std::set<std::string> removed = testing::RemovedPaths(reply);
  EXPECT_EQ(removed.size(), paths.size());
  for (std::size_t i = 0; i < paths.size(); i += 997) {
    EXPECT_TRUE(removed.contains(volume.PathOf(paths[i]))) << paths[i];
  }
  EXPECT_TRUE(removed.contains(volume.PathOf(paths.back())));
  EXPECT_EQ(*Find(reply, kErrorDictKey), Value(Dictionary()));
  EXPECT_EQ(testing::EntryCount(volume.PathOf("d000")), 0);
  EXPECT_EQ(testing::EntryCount(volume.PathOf(paths.back().substr(0, 4))), 0);
}

// Runs quillfen-remove --json |args| and answers what it printed, once it
// is the reply the tool stored in the domain beneath |config|.
std::string JsonThroughTheSharedDomain(const TestBus& bus,
                                       const TempTree& config,
                                       std::vector<std::string> args,
                                       std::chrono::minutes patience) {
  args.insert(args.begin(), "--json");
  testing::Program client(
      QUILLFEN_CLIENT_PATH,
      testing::ProgramSetup(args, {"DBUS_SESSION_BUS_ADDRESS=" + bus.address(),
                                   "XDG_CONFIG_HOME=" + config.path()}));
  EXPECT_TRUE(client.WaitFor(patience)) << "the client hung";
  EXPECT_EQ(client.exit_status(), 0) << client.err();
  setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  std::optional<Value> stored =
      SharedSuite(SharedSuiteName).objectForKey("reply");
  unsetenv("XDG_CONFIG_HOME");
  std::string out = client.out();
  EXPECT_TRUE(stored && stored->AsString() && *stored->AsString() + "\n" == out)
      << "the client printed other than the stored reply";
  return out;
}

// A volume whose removal answers with two hundred thousand paths.
class HugeReplyTest : public ::testing::Test {
 protected:
  TempTree volume_, config_;
  std::vector<std::string> paths_ =
      testing::MakeManyFiles(volume_.path(), 400, 500, ".tmp");
  TestBus bus_;
};

TEST_F(HugeReplyTest, DeliveredWholeOverTheBus) {
  auto connection = bus_.Connect();
  Dictionary reply = testing::CallRemoveWithFileDict(
      *connection, RemoveTmpFiles(volume_.path()));
  ExpectWholeReply(reply, volume_, paths_);
  testing::ReportFigure(
      "reply paths over the bus",
      static_cast<long long>(testing::RemovedPaths(reply).size()));
}

TEST_F(HugeReplyTest, DeliveredWholeThroughTheSharedDomain) {
  std::string out = JsonThroughTheSharedDomain(
      bus_, config_, {"-a", "-e", "tmp", volume_.path()}, 10min);
  Dictionary reply = testing::DictionaryFromJson(out);
  ExpectWholeReply(reply, volume_, paths_);
  testing::ReportFigure(
      "reply paths through the shared domain",
      static_cast<long long>(testing::RemovedPaths(reply).size()));
  testing::ReportFigure("reply bytes through the shared domain",
                        static_cast<long long>(out.size() - 1));
}

// Asks for a preview of removing the ".tmp" files beneath |volume| over a
// connection of its own to |bus| that passes no descriptors, as a library
// without them would; answers the error's name and message ("" and "" for
// a reply).
std::pair<std::string, std::string> PreviewWithoutDescriptors(
    const TestBus& bus, const std::string& volume) {
  sd_bus* connection = nullptr;
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int r = sd_bus_new(&connection);
  if (r >= 0) r = sd_bus_set_address(connection, bus.address().c_str());
  if (r >= 0) r = sd_bus_set_bus_client(connection, 1);
  if (r >= 0) r = sd_bus_negotiate_fds(connection, 0);
  if (r >= 0) r = sd_bus_start(connection);
  if (r >= 0) {
    r = sd_bus_message_new_method_call(
        connection, &call, std::string(ServiceName).c_str(),
        std::string(kServiceObjectPath).c_str(), bus::kJobsInterface,
        bus::kPreviewMethod);
  }
  if (r >= 0) {
    r = sd_bus_message_append(
        call, "a{sv}", 2, std::string(kVolumePathKey).c_str(), "s",
        volume.c_str(), std::string(kExtensionsArrayKey).c_str(), "as", 1,
        "tmp");
  }
  // Long enough for the preview on a loaded machine: what matters is how
  // the call ends, not when.
  constexpr std::uint64_t kLimitMicroseconds = 120'000'000;
  if (r >= 0)
    r = sd_bus_call(connection, call, kLimitMicroseconds, &error, &reply);
  std::pair<std::string, std::string> answer;
  if (sd_bus_error_is_set(&error)) {
    answer = {error.name, error.message != nullptr ? error.message : ""};
  } else if (r < 0) {
    answer = {"(sd-bus)", SystemErrorText(-r)};
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  sd_bus_flush_close_unref(connection);
  return answer;
}

// Three hundred thousand paths of about 240 bytes: over 64 MiB of reply,
// more than the bus carries in one message. The volume is a tmpfs of its
// own, which makes and removes them quickly. First a caller whose
// connection takes no descriptors asks for a preview: the bus won't
// forward it the reply's descriptor, and it hears why rather than waiting
// until its time limit.
TEST(HugeReplyBeyondOneMessageTest, ArrivesWholeThroughTheSharedDomain) {
  TempTree volume, config;
  if (mount("tmpfs", volume.path().c_str(), "tmpfs", 0, "size=1g") != 0) {
    FAIL() << "this machine refused to mount a tmpfs on " << volume.path()
           << ": " << SystemErrorText(errno)
           << " (this test runs as root, as CI does)";
  }
  std::vector<std::string> paths = testing::MakeManyFiles(
      volume.path(), 300, 1000, "-" + std::string(200, 'n') + ".tmp");
  TestBus bus;
  auto [name, message] = PreviewWithoutDescriptors(bus, volume.path());
  EXPECT_EQ(name, bus::kErrorFailed) << message;
  EXPECT_NE(message.find("too large for one bus message"), std::string::npos)
      << message;
  EXPECT_NE(message.find("file descriptor"), std::string::npos) << message;
  EXPECT_EQ(testing::EntryCount(volume.PathOf("d000")), 1000)
      << "the preview removed files";

  std::string out = JsonThroughTheSharedDomain(
      bus, config, {"-e", "tmp", volume.path()}, 5min);
  EXPECT_GT(out.size(), std::size_t{64} << 20);
  ExpectWholeReply(testing::DictionaryFromJson(out), volume, paths);
  umount2(volume.path().c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace quillfen
