// Faults injected into whole exchanges (quillfen-remove, the tool and the
// service, on a private bus): the service killed mid-request, the shared
// domain unwritable or its disk full while the tool flushes the reply, a
// corrupt domain file, the bus killed mid-request. Each must end in a clear
// report, without a hang, a crash, a process left behind or a damaged
// domain.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/distributed_notification_center.h"
#include "platform/shared_suite.h"
#include "protocol/identifiers.h"
#include "protocol/json_form.h"
#include "removal-engine/quillfen_removal_service.h"
#include "testing/in_process_service.h"
#include "testing/program.h"
#include "testing/support.h"
#include "testing/temp_tree.h"
#include "testing/test_bus.h"

namespace quillfen {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::LinesStartingWith;
using testing::Program;
using testing::ProgramSetup;
using testing::TempTree;
using testing::TestBus;

// Folders the request selects ("d*"), each holding files it doesn't: the
// volume's entry count drops as soon as the removal is under way, and the
// whole removal takes far longer than noticing that.
constexpr int kBusyFolders = 100;
constexpr int kBusyFilesPerFolder = 100;

std::set<std::string> FolderEntries(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// After an exchange that failed, or ended, the domain folder holds the
// domain, its lock and the exchange lock: no temporary file is left over.
const std::set<std::string> kTidyDomainFolder = {
    "exchange.lock", "preferences.json", "preferences.lock"};

class FaultsTest : public ::testing::Test {
 protected:
  FaultsTest() { setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1); }
  ~FaultsTest() override { unsetenv("XDG_CONFIG_HOME"); }

  std::string DomainFolder() const {
    return SharedSuite::FolderFor(SharedSuiteName);
  }
  std::string DomainFile() const {
    return DomainFolder() + "/preferences.json";
  }
  std::unique_ptr<Program> Start(std::vector<std::string> args,
                                 const char* program = QUILLFEN_CLIENT_PATH) {
    return std::make_unique<Program>(
        program, ProgramSetup{std::move(args),
                              {"DBUS_SESSION_BUS_ADDRESS=" + bus_.address(),
                               "XDG_CONFIG_HOME=" + config_.path()}});
  }
  struct Busy {
    std::unique_ptr<Program> client;
    pid_t service = -1, tool = -1;
  };
  // Starts a removal on a busy volume and answers once the service is
  // removing, with the service's and the tool's processes. The service is
  // stopped (SIGSTOP) there, so that the fault lands mid-removal however
  // slowly the test goes on.
  Busy StartBusyRemoval() {
    testing::MakeManyFiles(volume_.path(), kBusyFolders, kBusyFilesPerFolder,
                           "");
    Busy busy;
    busy.client = Start({"-n", "d*", volume_.path()});
    bool under_way = testing::PollUntil(
        [&] {
          return testing::EntryCount(volume_.path()) < kBusyFolders ||
                 busy.client->Ended();
        },
        60s);
    if (!under_way || busy.client->Ended()) {
      ADD_FAILURE() << "the removal never got under way: "
                    << busy.client->err();
      return busy;
    }
    // The instance that is removing: it can't stop for idleness meanwhile.
    busy.service = testing::OwnerPid(*probe_, std::string(ServiceName));
    if (busy.service <= 0 || kill(busy.service, SIGSTOP) != 0) {
      ADD_FAILURE() << "no service to stop: " << busy.service;
      return busy;
    }
    std::vector<pid_t> tools = testing::ChildrenRunning(
        busy.client->pid(), fs::weakly_canonical(QUILLFEN_TOOL_PATH));
    EXPECT_EQ(tools.size(), 1u);
    if (!tools.empty()) busy.tool = tools.front();
    return busy;
  }
  void LeaveInDomain(std::string_view key, const Value& value) {
    SharedSuite suite(SharedSuiteName);
    suite.setObject(value, key);
    ASSERT_TRUE(suite.synchronize()) << suite.lastError();
  }
  // The domain file is one JSON object, Quillfen's key and the tool's
  // version without the exchange's traces, and no temporary file is left.
  void ExpectDomainWholeAndWithdrawn() {
    EXPECT_EQ(testing::DictionaryFromJson(testing::FileContent(DomainFile())),
              (Dictionary{{"quillfenTheme", Value("dark")},
                          {"toolVersion", Value(QUILLFEN_VERSION)}}));
    EXPECT_EQ(FolderEntries(DomainFolder()), kTidyDomainFolder);
  }

  TempTree config_, volume_;
  TestBus bus_;
  std::unique_ptr<sdbus::IConnection> probe_ = bus_.Connect();
};

// The client must say so, end the tool and leave the domain whole.
TEST_F(FaultsTest, ServiceKilledMidRequestIsReportedWithoutAHang) {
  LeaveInDomain("quillfenTheme", Value("dark"));
  LeaveInDomain("reply", Value("a stale reply"));
  Busy busy = StartBusyRemoval();
  ASSERT_GT(busy.service, 0);
  ASSERT_EQ(kill(busy.service, SIGKILL), 0);
  testing::ReportFigure("faults injected", 1);

  ASSERT_TRUE(busy.client->WaitFor(60s)) << "the client hung";
  EXPECT_EQ(busy.client->exit_status(), 2);
  EXPECT_EQ(LinesStartingWith(busy.client->err(), "quillfen-remove: "),
            std::vector<std::string>{"quillfen-remove: the removal service "
                                     "stopped before it replied"})
      << busy.client->err();
  EXPECT_TRUE(testing::ProcessGone(busy.tool)) << "the tool was left running";
  EXPECT_GT(testing::EntryCount(volume_.path()), 0);
  ExpectDomainWholeAndWithdrawn();
  if (!HasFailure()) testing::ReportFigure("faults handled", 1);
}

TEST_F(FaultsTest, BusKilledMidRequestEndsEveryoneCleanly) {
  LeaveInDomain("quillfenTheme", Value("dark"));
  Busy busy = StartBusyRemoval();
  ASSERT_GT(busy.service, 0);
  ASSERT_EQ(kill(bus_.pid(), SIGKILL), 0);
  ASSERT_EQ(kill(busy.service, SIGCONT), 0);
  testing::ReportFigure("faults injected", 1);

  ASSERT_TRUE(busy.client->WaitFor(60s)) << "the client hung";
  EXPECT_EQ(busy.client->exit_status(), 2);
  std::vector<std::string> reported =
      LinesStartingWith(busy.client->err(), "quillfen-remove: ");
  ASSERT_EQ(reported.size(), 1u) << busy.client->err();
  EXPECT_TRUE(reported[0].starts_with(
      "quillfen-remove: the bus failed while waiting for the reply: "))
      << reported[0];
  EXPECT_TRUE(testing::ProcessGone(busy.tool)) << "the tool was left running";
  // The service finishes the work under way, then ends by itself.
  ASSERT_TRUE(testing::PollUntil(
      [&] { return testing::ProcessGone(busy.service); }, 60s))
      << "the service was left running";
  // It ends as a child of this process, the bus's subreaper.
  int status = 0;
  ASSERT_EQ(waitpid(busy.service, &status, 0), busy.service);
  EXPECT_TRUE(WIFEXITED(status)) << "the service crashed: " << status;
  EXPECT_EQ(testing::EntryCount(volume_.path()), 0);
  ExpectDomainWholeAndWithdrawn();
  if (!HasFailure()) testing::ReportFigure("faults handled", 1);
}

// The service may leave once it has replied, while the tool still stores
// the reply: here the tool waits for the domain's lock well past the time
// the client allows a vanished service. The client used to give up, kill
// the tool and report the service gone.
TEST_F(FaultsTest, ReplyStoredLongAfterTheServiceLeftIsRead) {
  LeaveInDomain("quillfenTheme", Value("dark"));
  Busy busy = StartBusyRemoval();
  ASSERT_GT(busy.service, 0);
  int lock =
      open((DomainFolder() + "/preferences.lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  ASSERT_EQ(kill(busy.service, SIGCONT), 0);
  testing::ReportFigure("faults injected", 1);
  // The service replies, goes idle and leaves; the client must not take
  // that for a failure while the tool waits to store the reply.
  EXPECT_TRUE(testing::PollUntil(
      [&] { return testing::ProcessGone(busy.service); }, 60s));
  EXPECT_FALSE(testing::PollUntil([&] { return busy.client->Ended(); }, 5s))
      << busy.client->err();
  flock(lock, LOCK_UN);
  close(lock);

  ASSERT_TRUE(busy.client->WaitFor(60s)) << "the client hung";
  EXPECT_EQ(busy.client->exit_status(), 0) << busy.client->err();
  EXPECT_EQ(testing::EntryCount(volume_.path()), 0);
  Dictionary domain =
      testing::DictionaryFromJson(testing::FileContent(DomainFile()));
  EXPECT_TRUE(Find(domain, "reply"));
  EXPECT_FALSE(Find(domain, "message"));
  EXPECT_EQ(FolderEntries(DomainFolder()), kTidyDomainFolder);
  if (!HasFailure()) testing::ReportFigure("faults handled", 1);
}

// Any program on the bus may broadcast a signal by the notification's
// name, of any form: only the tool's own ends the client's wait.
TEST_F(FaultsTest, StrayNotificationsDoNotEndTheWait) {
  Busy busy = StartBusyRemoval();
  ASSERT_GT(busy.service, 0);
  auto stray = sdbus::createObject(*probe_, std::string(kNotificationPath));
  const std::string interface(kNotificationInterface);
  const std::string name = "replySentNotification";
  stray->emitSignal(name).onInterface(interface);  // No argument.
  stray->emitSignal(name).onInterface(interface).withArguments(
      std::string("org.example.SomethingElse"));
  stray->emitSignal(name).onInterface(interface).withArguments(42);
  stray->emitSignal(name).onInterface(interface).withArguments(
      std::string(ToolIdentifier), std::string("more"));
  testing::ReportFigure("faults injected", 1);
  EXPECT_FALSE(testing::PollUntil([&] { return busy.client->Ended(); }, 1s))
      << busy.client->err();
  ASSERT_EQ(kill(busy.service, SIGCONT), 0);

  ASSERT_TRUE(busy.client->WaitFor(60s)) << "the client hung";
  EXPECT_EQ(busy.client->exit_status(), 0) << busy.client->err();
  EXPECT_TRUE(busy.client->out().starts_with("Removed ")) << busy.client->out();
  EXPECT_EQ(testing::EntryCount(volume_.path()), 0);
  if (!HasFailure()) testing::ReportFigure("faults handled", 1);
}

// A request larger than one bus message carries (a keep list of 80 MB)
// can't reach the service: the tool refuses it, stores the refusal and
// tells the client, which prints that cause rather than blaming the
// service.
TEST_F(FaultsTest, RequestTooLargeForTheBusIsRefusedWithItsCause) {
  volume_.MakeFile("a.tmp");
  std::string request = R"({"volumePath":")" + volume_.path() +
                        R"(","extensionsArray":["tmp"],"fileKeepArray":[)";
  const std::string name(100, 'k');
  for (int i = 0; i < 750'000; ++i) {
    request += (i ? ",\"" : "\"") + name + std::to_string(i) + "\"";
  }
  request += "]}";
  const std::string request_file = config_.PathOf("request.json");
  std::ofstream(request_file) << request;
  request.clear();
  testing::ReportFigure("faults injected", 1);

  auto client = Start({"--request", request_file});
  ASSERT_TRUE(client->WaitFor(120s)) << "the client hung";
  EXPECT_EQ(client->exit_status(), 1) << client->err();
  EXPECT_EQ(LinesStartingWith(client->err(), "quillfen-remove: "),
            std::vector<std::string>{})
      << client->err();
  EXPECT_NE(client->out().find("the request is too large for one bus "
                               "message ("),
            std::string::npos)
      << client->out();
  EXPECT_EQ(volume_.Listing(), std::vector<std::string>{"a.tmp"});
  Dictionary domain =
      testing::DictionaryFromJson(testing::FileContent(DomainFile()));
  const Value* stored = Find(domain, "reply");
  ASSERT_TRUE(stored && stored->AsString());
  Dictionary reply = testing::DictionaryFromJson(*stored->AsString());
  EXPECT_EQ(*Find(reply, "pathArray"), Value(Array{}));
  EXPECT_EQ(Find(reply, "errorDict")->AsDictionary()->size(), 1u);
  EXPECT_FALSE(Find(domain, "message"));
  if (!HasFailure()) testing::ReportFigure("faults handled", 1);
}

// A link in place of the domain's lock or file, to a file elsewhere or to
// nothing, is refused by the client and by the tool alike: nothing is
// removed, and nothing is created or changed where the link points.
TEST_F(FaultsTest, LinkInPlaceOfTheLockOrTheDomainIsRefused) {
  volume_.MakeFile("._a");
  TempTree outside;
  outside.MakeFile("target", "someone else's");
  const std::string outside_before = testing::TreeSnapshot(outside.path());
  fs::create_directories(DomainFolder());
  for (const char* name : {"preferences.lock", "preferences.json"}) {
    for (const char* target : {"target", "nothing"}) {
      SCOPED_TRACE(std::string(name) + " -> " + target);
      testing::ReportFigure("faults injected", 1);
      const std::string link = DomainFolder() + "/" + name;
      fs::create_symlink(outside.PathOf(target), link);
      std::unique_ptr<Program> client = Start({"-a", volume_.path()});
      ASSERT_TRUE(client->WaitFor(60s)) << "the client hung";
      EXPECT_EQ(client->exit_status(), 2);
      EXPECT_NE(client->err().find(std::string(name) + " is a symbolic link"),
                std::string::npos)
          << client->err();
      EXPECT_EQ(volume_.Listing(), std::vector<std::string>{"._a"});
      EXPECT_EQ(testing::TreeSnapshot(outside.path()), outside_before);
      EXPECT_TRUE(fs::is_symlink(link));
      fs::remove(link);
    }
  }

  // Quillfen left a request, then the lock became a link: the tool takes
  // nothing, says so, and ends.
  LeaveInDomain("message", Value(R"({"volumePath":")" + volume_.path() +
                                 R"(","appleDouble":1})"));
  fs::remove(DomainFolder() + "/preferences.lock");
  fs::create_symlink(outside.PathOf("nothing"),
                     DomainFolder() + "/preferences.lock");
  std::unique_ptr<Program> tool = Start({}, QUILLFEN_TOOL_PATH);
  ASSERT_TRUE(tool->WaitFor(60s)) << "the tool hung";
  EXPECT_EQ(
      LinesStartingWith(tool->err(),
                        "Couldn't take the message from the shared domain: ")
          .size(),
      1u)
      << tool->err();
  EXPECT_EQ(volume_.Listing(), std::vector<std::string>{"._a"});
  EXPECT_EQ(testing::TreeSnapshot(outside.path()), outside_before);
  EXPECT_TRUE(
      Find(testing::DictionaryFromJson(testing::FileContent(DomainFile())),
           "message"));
  if (!HasFailure()) testing::ReportFigure("faults handled", 5);
}

// The engine, with a fault injected between its work and its reply: the
// moment the tool's next flush is the one that stores the reply.
class FaultBeforeReply : public QuillfenRemovalServiceProtocol {
 public:
  explicit FaultBeforeReply(std::function<void()> fault)
      : fault_(std::move(fault)) {}
  void removeWithFileDict(const RemovalRequest& request,
                          const ReplyBlock& withReply) override {
    QuillfenRemovalService().removeWithFileDict(request,
                                                [&](RemovalReply reply) {
                                                  fault_();
                                                  withReply(std::move(reply));
                                                });
  }

 private:
  std::function<void()> fault_;
};

enum class FlushFault { kReadOnlyFolder, kDiskFull };

// One exchange whose reply can't be stored. Runs, with the bus and the
// service, in a child that has given up root (root would write into a
// read-only folder regardless), and answers what it saw as JSON.
std::string ExchangeWithFailingReplyFlush(FlushFault fault) {
  // The bus can start no service: the one here serves.
  TempTree config, volume, no_services;
  setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  // A reply of some twenty kilobytes: far more than the disk has left.
  for (int i = 0; i < 250; ++i) {
    volume.MakeFile("file-" + std::to_string(i) + "-of-a-long-series.tmp");
  }
  const std::string folder = SharedSuite::FolderFor(SharedSuiteName);
  const std::string file = folder + "/preferences.json";
  {
    SharedSuite suite(SharedSuiteName);
    suite.setObject(Value("dark"), "quillfenTheme");
    if (!suite.synchronize()) return "can't prepare: " + suite.lastError();
  }
  Dictionary seen;
  std::string before_reply;
  testing::ExportingDelegate delegate([&] {
    return std::make_shared<FaultBeforeReply>([&] {
      if (fault == FlushFault::kReadOnlyFolder) chmod(folder.c_str(), 0555);
      before_reply = testing::FileContent(file);
    });
  });
  TestBus bus(no_services.path());
  {
    // Idle for longer than a loaded machine takes to get the tool's call
    // here.
    testing::InProcessService service(bus, &delegate, 5s);
    ProgramSetup setup{{"-e", "tmp", volume.path()},
                       {"DBUS_SESSION_BUS_ADDRESS=" + bus.address(),
                        "XDG_CONFIG_HOME=" + config.path()}};
    if (fault == FlushFault::kDiskFull) setup.file_size_limit = 4096;
    Program client(QUILLFEN_CLIENT_PATH, setup);
    seen["ended"] = Value(client.WaitFor(60s));
    seen["status"] = Value(client.exit_status());
    seen["err"] = Value(client.err());
    seen["before"] = Value(before_reply);
    seen["after"] = Value(testing::FileContent(file));
    Array entries;
    for (const std::string& name : FolderEntries(folder)) {
      entries.emplace_back(name);
    }
    seen["entries"] = Value(std::move(entries));
    seen["removed"] = Value(volume.Listing().empty());
  }
  chmod(folder.c_str(), 0700);
  return JsonTextFromValue(Value(seen));
}

class FlushFaultTest : public ::testing::TestWithParam<FlushFault> {};

TEST_P(FlushFaultTest, ReplyThatCantBeStoredLeavesTheDomainAsItWas) {
  FlushFault fault = GetParam();
  testing::ReportFigure("faults injected", 1);
  std::string text = testing::RunUnprivileged(
      [fault] { return ExchangeWithFailingReplyFlush(fault); });
  Dictionary seen = testing::DictionaryFromJson(text);
  ASSERT_FALSE(seen.empty()) << text;
  auto string = [&](const char* key) { return *seen.at(key).AsString(); };
  EXPECT_EQ(seen.at("ended"), Value(true)) << "the client hung";
  EXPECT_EQ(seen.at("status"), Value(2));
  const char* cause = fault == FlushFault::kReadOnlyFolder
                          ? "while creating a temporary file beside it: "
                            "Permission denied."
                          : "while writing a temporary file beside it: "
                            "File too large.";
  std::vector<std::string> logged =
      LinesStartingWith(string("err"), "Error writing the shared domain: ");
  ASSERT_EQ(logged.size(), 1u) << string("err");
  EXPECT_TRUE(logged[0].ends_with(cause)) << logged[0];
  EXPECT_EQ(LinesStartingWith(string("err"), "quillfen-remove: "),
            std::vector<std::string>{
                "quillfen-remove: the removal tool replied but stored no "
                "reply"})
      << string("err");
  EXPECT_EQ(LinesStartingWith(string("err"), "").size(), 2u) << string("err");
  // The domain as the failed flush found it: the request taken out, the
  // rest intact, byte for byte; no temporary file left over.
  Dictionary before = testing::DictionaryFromJson(string("before"));
  EXPECT_EQ(before, (Dictionary{{"quillfenTheme", Value("dark")},
                                {"toolVersion", Value(QUILLFEN_VERSION)}}))
      << string("before");
  EXPECT_EQ(string("after"), string("before"));
  EXPECT_EQ(seen.at("entries"),
            Value(Array{Value("exchange.lock"), Value("preferences.json"),
                        Value("preferences.lock")}));
  EXPECT_EQ(seen.at("removed"), Value(true));
  if (!HasFailure()) testing::ReportFigure("faults handled", 1);
}

std::string FaultName(const ::testing::TestParamInfo<FlushFault>& fault) {
  return fault.param == FlushFault::kReadOnlyFolder ? "ReadOnlyFolder"
                                                    : "DiskFull";
}

INSTANTIATE_TEST_SUITE_P(Faults, FlushFaultTest,
                         ::testing::Values(FlushFault::kReadOnlyFolder,
                                           FlushFault::kDiskFull),
                         FaultName);

}  // namespace
}  // namespace quillfen
