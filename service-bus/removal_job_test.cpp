// The jobs interface with the real engine behind the listener, on a
// private bus: a preview held to a real removal, jobs run to their end,
// stopped by their starter and by nobody else, and gone with their starter.
#include "service-bus/removal_job.h"

#include <gtest/gtest.h>

#include <map>

#include "protocol/identifiers.h"
#include "removal-engine/quillfen_removal_service.h"
#include "service-bus/bus_names.h"
#include "service-bus/dbus_value.h"
#include "service-bus/reply_file.h"
#include "testing/in_process_service.h"
#include "testing/support.h"
#include "testing/temp_tree.h"

namespace quillfen {
namespace {

using ::quillfen::testing::kPatience;
using ::quillfen::testing::PollUntil;

class RemovalJobTest : public ::testing::Test {
 protected:
  // A volume slow to walk: every folder holds names the wildcard entry of
  // SlowRequest can't settle within its budget.
  static constexpr int kSlowFolders = 60;
  void MakeSlowVolume() {
    for (int i = 0; i < kSlowFolders * 3; ++i) {
      std::string stem = "d" + std::to_string(100 + i / 3) + "/";
      std::string j = std::to_string(i % 3);
      volume_.MakeFile(stem + "x" + std::string(240, 'a') + "_" + j);
      volume_.MakeFile(stem + "t" + j + ".tmp");
    }
  }
  Dictionary SlowRequest() const {
    return {{"volumePath", Value(volume_.path())},
            {"fileRemovalArray",
             Value(Array{Value("(x)*a*a*a*a*a*c"), Value("*.tmp")})}};
  }

  std::unique_ptr<sdbus::IProxy> Service(sdbus::IConnection& peer) {
    return sdbus::createProxy(peer, std::string(ServiceName),
                              std::string(kServiceObjectPath));
  }
  std::string StartJob(sdbus::IConnection& peer, const Dictionary& request) {
    sdbus::ObjectPath job;
    Service(peer)
        ->callMethod(bus::kStartMethod)
        .onInterface(bus::kJobsInterface)
        .withArguments(*DbusFromDictionary(request))
        .storeResultsTo(job);
    return job;
  }
  // Throws sdbus::Error as the bus answers.
  sdbus::Variant JobProperty(sdbus::IConnection& peer, const std::string& job,
                             const char* name) {
    return sdbus::createProxy(peer, std::string(ServiceName), job)
        ->getProperty(name)
        .onInterface(bus::kJobInterface);
  }
  void StopJob(sdbus::IConnection& peer, const std::string& job) {
    sdbus::createProxy(peer, std::string(ServiceName), job)
        ->callMethod(bus::kJobStopMethod)
        .onInterface(bus::kJobInterface);
  }
  void SetUp() override {
    // Before any Start: a match hears only what is read after it.
    starter_->addMatch(
        std::string("type='signal',interface='") + bus::kJobInterface +
            "',member='" + bus::kJobCompletedSignal + "'",
        [this](sdbus::Message& message) {
          Result<RemovalReply> read = ReplyFromMessage(message);
          completed_[message.getPath()] =
              read ? *read : Dictionary{{"unreadable", Value(true)}};
        },
        sdbus::floating_slot);
  }
  // Reads the starter's messages until Completed comes for |job|: its
  // reply.
  Dictionary AwaitCompleted(const std::string& job) {
    EXPECT_TRUE(PollUntil(
        [&] {
          while (starter_->processPendingRequest()) {
          }
          return completed_.contains(job);
        },
        kPatience));
    return completed_.contains(job) ? completed_.at(job) : Dictionary{};
  }

  testing::TempTree no_services_;
  testing::TestBus bus_{no_services_.path()};
  testing::ExportingDelegate delegate_{
      [] { return std::make_shared<QuillfenRemovalService>(); }};
  testing::InProcessService service_{bus_, &delegate_};
  testing::TempTree volume_;
  std::map<std::string, Dictionary> completed_;  // By job.
  std::unique_ptr<sdbus::IConnection> starter_ = bus_.Connect();
  std::unique_ptr<sdbus::IConnection> other_ = bus_.Connect();
};

// Preview touches nothing and lists exactly what a real removal of a copy
// of the volume removes, path for path.
TEST_F(RemovalJobTest, PreviewListsWhatARemovalOfACopyRemoves) {
  testing::TempTree copy;
  for (testing::TempTree* tree : {&volume_, &copy}) {
    for (const char* file :
         {"._a.txt", "a.txt", "x.tmp", "keep.tmp", "sub/.DS_Store", "sub/y.tmp",
          "sub/deep/z.tmp", "sub/deep/plain", "._sub2/inner"}) {
      tree->MakeFile(file);
    }
  }
  auto request_for = [](const std::string& volume) {
    return Dictionary{{"volumePath", Value(volume)},
                      {"appleDouble", Value(true)},
                      {"fileRemovalArray", Value(Array{Value(".DS_Store")})},
                      {"extensionsArray", Value(Array{Value("tmp")})},
                      {"fileKeepArray", Value(Array{Value("keep.tmp")})}};
  };
  const std::vector<std::string> before = volume_.Listing();
  DbusDictionary wire;
  Service(*starter_)
      ->callMethod(bus::kPreviewMethod)
      .onInterface(bus::kJobsInterface)
      .withArguments(*DbusFromDictionary(request_for(volume_.path())))
      .storeResultsTo(wire);
  Dictionary preview = *DictionaryFromDbus(wire);
  EXPECT_EQ(volume_.Listing(), before);

  Dictionary removal = testing::CallRemoveWithFileDict(
      *other_, request_for(copy.path()), kPatience);
  std::set<std::string> previewed;
  for (const std::string& path : testing::RemovedPaths(preview)) {
    previewed.insert(copy.path() + path.substr(volume_.path().size()));
  }
  EXPECT_EQ(previewed, testing::RemovedPaths(removal));
  EXPECT_EQ(previewed.size(),
            6u);  // ._a.txt, ._sub2 and inner, 3 tmp, .DS_Store
}

// The counts change as the removal goes, Completed brings the reply to the
// starter, and Reply holds it for the starter alone.
TEST_F(RemovalJobTest, AJobRunsToItsCompletedReply) {
  for (const char* file : {"a.tmp", "b.tmp", "sub/c.tmp", "sub/keep"}) {
    volume_.MakeFile(file);
  }
  std::map<std::string, sdbus::Variant> changed;  // The last change.
  std::vector<std::string> invalidated;
  auto slot = starter_->addMatch(
      "type='signal',interface='org.freedesktop.DBus.Properties',"
      "member='PropertiesChanged'",
      [&](sdbus::Message& message) {
        std::string interface;
        changed.clear();
        message >> interface >> changed >> invalidated;
      });
  const std::string job =
      StartJob(*starter_, {{"volumePath", Value(volume_.path())},
                           {"extensionsArray", Value(Array{Value("tmp")})}});
  Dictionary reply = AwaitCompleted(job);

  std::set<std::string> removed = testing::RemovedPaths(reply);
  EXPECT_EQ(removed, (std::set<std::string>{volume_.PathOf("a.tmp"),
                                            volume_.PathOf("b.tmp"),
                                            volume_.PathOf("sub/c.tmp")}));
  EXPECT_EQ(volume_.Listing(), (std::vector<std::string>{"sub/", "sub/keep"}));
  // The end was announced before Completed: the counts, Finished, and
  // Reply as changed.
  ASSERT_TRUE(changed.contains(bus::kJobFinishedProperty));
  EXPECT_TRUE(changed.at(bus::kJobFinishedProperty).get<bool>());
  EXPECT_EQ(changed.at(bus::kJobRemovedProperty).get<std::uint64_t>(), 3u);
  EXPECT_EQ(invalidated, std::vector<std::string>{bus::kJobReplyProperty});

  // Reply is the starter's alone.
  EXPECT_TRUE(JobProperty(*other_, job, bus::kJobFinishedProperty).get<bool>());
  EXPECT_EQ(
      *DictionaryFromDbus(JobProperty(*starter_, job, bus::kJobReplyProperty)
                              .get<DbusDictionary>()),
      reply);
  EXPECT_TRUE(JobProperty(*other_, job, bus::kJobReplyProperty)
                  .get<DbusDictionary>()
                  .empty());
}

TEST_F(RemovalJobTest, OnlyItsStarterStopsAJob) {
  MakeSlowVolume();
  const std::string job = StartJob(*starter_, SlowRequest());
  ASSERT_TRUE(PollUntil(
      [&] {
        return JobProperty(*starter_, job, bus::kJobRemovedProperty)
                   .get<std::uint64_t>() >= 3;
      },
      kPatience));
  try {
    StopJob(*other_, job);
    ADD_FAILURE() << "another peer stopped the job";
  } catch (const sdbus::Error& e) {
    EXPECT_EQ(e.getName(), bus::kErrorAccessDenied);
  }
  StopJob(*starter_, job);
  Dictionary reply = AwaitCompleted(job);
  std::set<std::string> removed = testing::RemovedPaths(reply);
  EXPECT_LT(removed.size(), kSlowFolders * 3u) << "the job was not stopped";
  EXPECT_EQ(removed.size(), kSlowFolders * 7u - volume_.Listing().size());
  // Stopping an ended job changes nothing.
  StopJob(*starter_, job);
}

TEST_F(RemovalJobTest, AJobsObjectGoesWithItsStarter) {
  MakeSlowVolume();
  const std::string job = StartJob(*starter_, SlowRequest());
  EXPECT_FALSE(
      JobProperty(*other_, job, bus::kJobFinishedProperty).get<bool>());
  starter_.reset();
  EXPECT_TRUE(PollUntil(
      [&] {
        try {
          JobProperty(*other_, job, bus::kJobFinishedProperty);
          return false;
        } catch (const sdbus::Error& e) {
          return e.getName() == "org.freedesktop.DBus.Error.UnknownObject";
        }
      },
      kPatience));
}

}  // namespace
}  // namespace quillfen
