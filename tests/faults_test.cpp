// Faults injected into whole exchanges (quillfen-remove, the tool and the
// service, on a private bus): the service or the bus killed mid-request,
// stray notifications, a reply stored late, a request too large for the
// bus, links in place of the shared domain, and the domain unwritable or
// its disk full while the tool flushes the reply. Each must end in a clear
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

#include "platform/distributed_notification_center.h"
#include "platform/shared_suite.h"
#include "protocol/identifiers.h"
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

std::set<std::string> FolderEntries(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename());
  }
  return names;
}

// After an exchange that failed, or ended, the domain folder holds the
// domain, its lock and the exchange lock: no temporary file is left over.
const std::set<std::string> kTidyDomainFolder = {
    "exchange.lock", "preferences.json", "preferences.lock"};
// Quillfen's own key and the tool's version, without the exchange's traces.
const Dictionary kWithdrawnDomain = {{"quillfenTheme", Value("dark")},
                                     {"toolVersion", Value(QUILLFEN_VERSION)}};

class FaultsTest : public ::testing::Test {
 protected:
  FaultsTest() { setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1); }
  ~FaultsTest() override { unsetenv("XDG_CONFIG_HOME"); }
  void TearDown() override {
    if (!HasFailure()) testing::ReportFigure("faults handled", injected_);
  }

  std::string DomainFolder() const {
    return SharedSuite::FolderFor(SharedSuiteName);
  }
  Dictionary Domain() const {
    return testing::DictionaryFromJson(
        testing::FileContent(DomainFolder() + "/preferences.json"));
  }
  void Inject() {
    ++injected_;
    testing::ReportFigure("faults injected", 1);
  }
  std::unique_ptr<Program> Start(std::vector<std::string> args,
                                 const char* program = QUILLFEN_CLIENT_PATH) {
    return std::make_unique<Program>(
        program, ProgramSetup{std::move(args),
                              {"DBUS_SESSION_BUS_ADDRESS=" + bus_.address(),
                               "XDG_CONFIG_HOME=" + config_.path()}});
  }
  void LeaveInDomain(std::string_view key, const Value& value) {
    SharedSuite suite(SharedSuiteName);
    suite.setObject(value, key);
    ASSERT_TRUE(suite.synchronize()) << suite.lastError();
  }
  // Starts a removal of a hundred selected folders of a hundred files each,
  // and answers once the service is removing (the volume's entry count
  // drops long before the removal ends), with the service and the tool in
  // client_, service_ and tool_. The service is stopped (SIGSTOP) there, so
  // that the fault lands mid-removal however slowly the test goes on.
  bool StartBusyRemoval() {
    LeaveInDomain("quillfenTheme", Value("dark"));
    testing::MakeManyFiles(volume_.path(), 100, 100, "");
    client_ = Start({"-n", "d*", volume_.path()});
    bool under_way = testing::PollUntil(
        [&] {
          return testing::EntryCount(volume_.path()) < 100 || client_->Ended();
        },
        60s);
    if (!under_way || client_->Ended()) {
      ADD_FAILURE() << "the removal never got under way: " << client_->err();
      return false;
    }
    // The instance that is removing: it can't stop for idleness meanwhile.
    service_ = testing::OwnerPid(*probe_, std::string(ServiceName));
    if (service_ <= 0 || kill(service_, SIGSTOP) != 0) {
      ADD_FAILURE() << "no service to stop: " << service_;
      return false;
    }
    std::vector<pid_t> tools = testing::ChildrenRunning(
        client_->pid(), fs::weakly_canonical(QUILLFEN_TOOL_PATH));
    EXPECT_EQ(tools.size(), 1u);
    if (!tools.empty()) tool_ = tools.front();
    Inject();
    return true;
  }
  // The client ends with |status| within a minute.
  void ExpectClientEnds(int status) {
    ASSERT_TRUE(client_->WaitFor(60s)) << "the client hung";
    EXPECT_EQ(client_->exit_status(), status) << client_->err();
  }
  std::vector<std::string> ClientSays() const {
    return LinesStartingWith(client_->err(), "quillfen-remove: ");
  }

  TempTree config_, volume_;
  TestBus bus_;
  std::unique_ptr<sdbus::IConnection> probe_ = bus_.Connect();
  std::unique_ptr<Program> client_;
  pid_t service_ = -1, tool_ = -1;
  int injected_ = 0;
};

// The service or the bus killed mid-request: the client must say so, end
// the tool and leave the domain whole.
class KilledMidRequestTest : public FaultsTest,
                             public ::testing::WithParamInterface<bool> {};

TEST_P(KilledMidRequestTest, IsReportedWithoutAHang) {
  const bool bus_killed = GetParam();
  LeaveInDomain("reply", Value("a stale reply"));
  ASSERT_TRUE(StartBusyRemoval());
  ASSERT_EQ(kill(bus_killed ? bus_.pid() : service_, SIGKILL), 0);
  ASSERT_TRUE(!bus_killed || kill(service_, SIGCONT) == 0);
  ExpectClientEnds(2);
  EXPECT_TRUE(testing::ProcessGone(tool_)) << "the tool was left running";
  EXPECT_TRUE(client_->err().starts_with(
      bus_killed
          ? "quillfen-remove: the bus failed while waiting for the reply: "
          : "quillfen-remove: the removal service stopped before it replied"))
      << client_->err();
  EXPECT_EQ(ClientSays().size(), 1u) << client_->err();
  if (bus_killed) {
    // The service finishes the work under way, then ends by itself, as a
    // child of this process, the bus's subreaper.
    ASSERT_TRUE(
        testing::PollUntil([&] { return testing::ProcessGone(service_); }, 60s))
        << "the service was left running";
    int status = 0;
    ASSERT_EQ(waitpid(service_, &status, 0), service_);
    EXPECT_TRUE(WIFEXITED(status)) << "the service crashed: " << status;
  }
  EXPECT_EQ(testing::EntryCount(volume_.path()) == 0, bus_killed);
  EXPECT_EQ(Domain(), kWithdrawnDomain);
  EXPECT_EQ(FolderEntries(DomainFolder()), kTidyDomainFolder);
}

INSTANTIATE_TEST_SUITE_P(Faults, KilledMidRequestTest, ::testing::Bool(),
                         [](const auto& killed) {
                           return killed.param ? "Bus" : "Service";
                         });

// Any program on the bus may broadcast a signal by the notification's
// name, of any form: only the tool's own ends the client's wait. And the
// service may leave once it has replied, while the tool still stores the
// reply: here the tool waits for the domain's lock well past the time the
// client allows a vanished service. The client used to give up, kill the
// tool and report the service gone.
TEST_F(FaultsTest, StrayNotificationsAndAReplyStoredLateDoNotEndTheWait) {
  ASSERT_TRUE(StartBusyRemoval());
  auto stray = sdbus::createObject(*probe_, std::string(kNotificationPath));
  const std::string interface(kNotificationInterface);
  const std::string name = "replySentNotification";
  stray->emitSignal(name).onInterface(interface);  // No argument.
  stray->emitSignal(name).onInterface(interface).withArguments(
      std::string("org.example.SomethingElse"));
  stray->emitSignal(name).onInterface(interface).withArguments(42);
  stray->emitSignal(name).onInterface(interface).withArguments(
      std::string(ToolIdentifier), std::string("more"));
  EXPECT_FALSE(testing::PollUntil([&] { return client_->Ended(); }, 1s))
      << client_->err();
  Inject();
  int lock =
      open((DomainFolder() + "/preferences.lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  ASSERT_EQ(kill(service_, SIGCONT), 0);
  EXPECT_TRUE(
      testing::PollUntil([&] { return testing::ProcessGone(service_); }, 60s));
  EXPECT_FALSE(testing::PollUntil([&] { return client_->Ended(); }, 5s))
      << client_->err();
  close(lock);

  ExpectClientEnds(0);
  EXPECT_TRUE(client_->out().starts_with("Removed ")) << client_->out();
  EXPECT_EQ(testing::EntryCount(volume_.path()), 0);
  EXPECT_TRUE(Find(Domain(), "reply"));
  EXPECT_FALSE(Find(Domain(), "message"));
  EXPECT_EQ(FolderEntries(DomainFolder()), kTidyDomainFolder);
}

// A request larger than one bus message carries (a keep list of 80 MB)
// can't reach the service: the tool refuses it, stores the refusal and
// tells the client, which prints that cause rather than blaming the
// service.
TEST_F(FaultsTest, RequestTooLargeForTheBusIsRefusedWithItsCause) {
  volume_.MakeFile("a.tmp");
  {
    std::ofstream request(config_.PathOf("request.json"));
    request << R"({"volumePath":")" << volume_.path()
            << R"(","extensionsArray":["tmp"],"fileKeepArray":["k")";
    for (int i = 0; i < 750'000; ++i)
      request << ",\"" << std::string(100, 'k') << i << '"';
    request << "]}";
  }
  Inject();
  client_ = Start({"--request", config_.PathOf("request.json")});
  ASSERT_TRUE(client_->WaitFor(120s)) << "the client hung";
  EXPECT_EQ(client_->exit_status(), 2) << client_->err();
  EXPECT_EQ(ClientSays().size(), 1u) << client_->err();
  EXPECT_NE(
      client_->err().find("the request is too large for one bus message ("),
      std::string::npos)
      << client_->err();
  EXPECT_EQ(volume_.Listing(), std::vector<std::string>{"a.tmp"});
  EXPECT_FALSE(Find(Domain(), "message"));
}

// A link in place of the domain's lock or file is refused by the client
// and by the tool alike: nothing is removed, and nothing is created or
// changed where the link points. Each kind of link, to a file or to
// nothing, in place of either, is refused by the domain itself (platform/);
// here one of each on the whole road.
TEST_F(FaultsTest, LinkInPlaceOfTheLockOrTheDomainIsRefused) {
  volume_.MakeFile("._a");
  TempTree outside;
  outside.MakeFile("target", "someone else's");
  const std::string outside_before = testing::TreeSnapshot(outside.path());
  const std::string domain = DomainFolder() + "/preferences.json";
  const std::string lock = DomainFolder() + "/preferences.lock";
  fs::create_directories(DomainFolder());
  fs::create_symlink(outside.PathOf("target"), domain);
  Inject();
  client_ = Start({"-a", volume_.path()});
  ASSERT_TRUE(client_->WaitFor(60s)) << "the client hung";
  EXPECT_EQ(client_->exit_status(), 2);
  EXPECT_NE(client_->err().find("preferences.json is a symbolic link"),
            std::string::npos)
      << client_->err();
  EXPECT_TRUE(fs::is_symlink(domain));
  fs::remove(domain);

  // Quillfen left a request, then the lock became a link: the tool takes
  // nothing, says so, and ends.
  LeaveInDomain("message", Value(R"({"volumePath":")" + volume_.path() +
                                 R"(","appleDouble":1})"));
  fs::remove(lock);
  fs::create_symlink(outside.PathOf("nothing"), lock);
  Inject();
  std::unique_ptr<Program> tool = Start({}, QUILLFEN_TOOL_PATH);
  ASSERT_TRUE(tool->WaitFor(60s)) << "the tool hung";
  EXPECT_EQ(LinesStartingWith(
                tool->err(), "Couldn't take the message from the shared domain")
                .size(),
            1u)
      << tool->err();
  EXPECT_EQ(volume_.Listing(), std::vector<std::string>{"._a"});
  EXPECT_EQ(testing::TreeSnapshot(outside.path()), outside_before);
  EXPECT_TRUE(Find(Domain(), "message"));
}

// The engine, making the domain's folder read-only (when |folder| is set)
// between its work and its reply: the tool's next flush is the one that
// stores the reply.
struct ReadOnlyBeforeReply : QuillfenRemovalServiceProtocol {
  void removeWithFileDict(const RemovalRequest& request,
                          const ReplyBlock& withReply) override {
    auto reply_after_chmod = [&](RemovalReply reply) {
      if (!folder.empty()) chmod(folder.c_str(), 0555);
      withReply(std::move(reply));
    };
    QuillfenRemovalService().removeWithFileDict(request, reply_after_chmod);
  }
  std::string folder;
};

// One exchange whose reply can't be stored: the disk is full (|disk_full|)
// or the domain's folder read-only. Runs, with the bus and the service, in
// a child that has given up root (root would write into a read-only folder
// regardless), and answers what went wrong ("" if all went as it should).
std::string ExchangeWithFailingReplyFlush(bool disk_full) {
  // The bus can start no service: the one here serves.
  TempTree config, volume, no_services;
  setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  // A reply of some twenty kilobytes: far more than the disk has left.
  testing::MakeManyFiles(volume.path(), 1, 250, "-of-a-long-series.tmp");
  const std::string folder = SharedSuite::FolderFor(SharedSuiteName);
  {
    SharedSuite suite(SharedSuiteName);
    suite.setObject(Value("dark"), "quillfenTheme");
    if (!suite.synchronize()) return "can't prepare: " + suite.lastError();
  }
  testing::ExportingDelegate delegate([&] {
    auto object = std::make_shared<ReadOnlyBeforeReply>();
    if (!disk_full) object->folder = folder;
    return object;
  });
  TestBus bus(no_services.path());
  std::string wrong;
  auto check = [&](bool right, const std::string& what) {
    if (!right) wrong += what + "\n";
  };
  {
    // Idle for longer than a loaded machine takes to get the tool's call
    // here.
    testing::InProcessService service(bus, &delegate, 5s);
    ProgramSetup setup{{"-e", "tmp", volume.path()},
                       {"DBUS_SESSION_BUS_ADDRESS=" + bus.address(),
                        "XDG_CONFIG_HOME=" + config.path()}};
    if (disk_full) setup.file_size_limit = 4096;
    Program client(QUILLFEN_CLIENT_PATH, setup);
    check(client.WaitFor(60s), "the client hung");
    // The client's one line: what the tool logs goes to the journal, not
    // to the person's terminal.
    check(client.exit_status() == 2 &&
              client.err() ==
                  "quillfen-remove: the removal tool replied but "
                  "stored no reply\n",
          "the client ended with " + std::to_string(client.exit_status()) +
              ", saying:\n" + client.err());
    // The domain as the failed flush found it: the request taken out, the
    // rest intact; no temporary file left over.
    const std::string domain =
        testing::FileContent(folder + "/preferences.json");
    check(testing::DictionaryFromJson(domain) == kWithdrawnDomain,
          "the domain holds " + domain);
    check(FolderEntries(folder) == kTidyDomainFolder,
          "the domain's folder isn't tidy");
    check(testing::EntryCount(volume.PathOf("d000")) == 0,
          "the removal was left undone");
  }
  chmod(folder.c_str(), 0700);
  return wrong;
}

class FlushFaultTest : public ::testing::TestWithParam<bool> {};

TEST_P(FlushFaultTest, ReplyThatCantBeStoredLeavesTheDomainAsItWas) {
  const bool disk_full = GetParam();
  testing::ReportFigure("faults injected", 1);
  EXPECT_EQ(testing::RunUnprivileged(
                [=] { return ExchangeWithFailingReplyFlush(disk_full); }),
            "");
  if (!HasFailure()) testing::ReportFigure("faults handled", 1);
}

INSTANTIATE_TEST_SUITE_P(Faults, FlushFaultTest, ::testing::Bool(),
                         [](const auto& disk_full) {
                           return disk_full.param ? "DiskFull"
                                                  : "ReadOnlyFolder";
                         });

}  // namespace
}  // namespace quillfen
