// The removal tool as Quillfen uses it: a request left in the shared domain
// of a temporary XDG_CONFIG_HOME, the tool started as a process on a
// private bus, the reply and the notification observed from outside.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/shared_suite.h"
#include "protocol/identifiers.h"
#include "protocol/json_form.h"
#include "removal-engine/quillfen_removal_service.h"
#include "removal-tool/AppDelegate.h"
#include "testing/in_process_service.h"
#include "testing/program.h"
#include "testing/support.h"
#include "testing/temp_tree.h"

namespace quillfen {
namespace {

using ::quillfen::testing::LinesStartingWith;
using ::quillfen::testing::TempTree;
using ::quillfen::testing::TestBus;
using namespace std::chrono_literals;

struct ToolRun {
  bool exited = false;
  int status = -1;  // Exit status, or -1.
  std::string log;  // Its standard error.
};

class RemovalToolTest : public ::testing::Test {
 protected:
  // Without the build tree's services, the bus starts none.
  explicit RemovalToolTest(bool with_services = true)
      : bus_(with_services ? testing::BuildServiceDir() : no_services_.path()) {
    setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
    // The sandboxed tool can't read /proc, which the leak checker of a
    // sanitizer build needs at exit. (Read once at start: this process
    // keeps its own setting.)
    const char* asan = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS",
           (std::string(asan ? asan : "") + ":detect_leaks=0").c_str(), 1);
  }
  ~RemovalToolTest() override { unsetenv("XDG_CONFIG_HOME"); }

  void LeaveMessage(const Value& message) {
    SharedSuite suite(SharedSuiteName);
    suite.setObject(message, "message");
    ASSERT_TRUE(suite.synchronize()) << suite.lastError();
  }
  std::optional<Value> Read(std::string_view key) {
    return SharedSuite(SharedSuiteName).objectForKey(key);
  }

  // Starts the tool; waits up to |limit| for it to exit, then kills it.
  ToolRun RunTool(std::chrono::milliseconds limit,
                  const std::function<void(pid_t)>& while_running = nullptr) {
    testing::Program tool(QUILLFEN_TOOL_PATH, testing::ProgramSetup({}));
    if (while_running) while_running(tool.pid());
    ToolRun run;
    run.exited = tool.WaitFor(limit);
    run.status = tool.exit_status();
    run.log = tool.err();
    return run;
  }

  TempTree config_;
  TempTree volume_;
  TempTree no_services_;
  TestBus bus_;
};

TEST_F(RemovalToolTest, RelaysARequestAndItsReplyThenQuits) {
  volume_.MakeFile("._a");
  volume_.MakeFile("sub/b.tmp");
  volume_.MakeFile("keep.tmp");
  {
    SharedSuite suite(SharedSuiteName);
    suite.setObject(Value(Dictionary{{"theme", Value("dark")}}), "quillfen");
    ASSERT_TRUE(suite.synchronize());
  }
  LeaveMessage(Value(
      R"({"volumePath":")" + volume_.path() +
      R"(","appleDouble":1,"extensionsArray":["tmp"],"fileKeepArray":["keep.tmp"]})"));

  ToolRun run = RunTool(10s);
  ASSERT_TRUE(run.exited) << run.log;
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(LinesStartingWith(run.log, "QuillfenRemovalTool"),
            std::vector<std::string>{})
      << "the tool ran unconfined: " << run.log;

  EXPECT_EQ(volume_.Listing(), (std::vector<std::string>{"keep.tmp", "sub/"}));
  EXPECT_FALSE(Read("message"));
  std::optional<Value> reply = Read("reply");
  ASSERT_TRUE(reply && reply->AsString());
  Result<Value> parsed = ValueFromJsonText(*reply->AsString());
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(*reply->AsString(), JsonTextFromValue(*parsed));  // Compact.
  const Dictionary& fields = *parsed->AsDictionary();
  EXPECT_EQ(fields.at("pathArray").AsArray()->size(), 2u);
  EXPECT_EQ(fields.at("volumePath"), Value(volume_.path()));
  EXPECT_EQ(Read("toolVersion"), Value(ToolShortVersionString()));
  EXPECT_EQ(Read("quillfen"), Value(Dictionary{{"theme", Value("dark")}}));
}

// Quillfen may start the tool again before an earlier launch has taken
// the request: the launches take turns at the domain's lock, and only the
// first finds the request.
TEST_F(RemovalToolTest, OfManyLaunchesForOneRequestOneCarriesItOut) {
  constexpr int kTools = 6;
  constexpr int kFiles = 20;
  for (int i = 0; i < kFiles; ++i) {
    volume_.MakeFile("f" + std::to_string(i) + ".tmp");
  }
  LeaveMessage(Value(R"({"volumePath":")" + volume_.path() +
                     R"(","extensionsArray":["tmp"]})"));
  // Held while the tools start, so that they all queue at the lock and go
  // on close together.
  const std::string lock_path =
      SharedSuite(SharedSuiteName).folder() + "/preferences.lock";
  int lock = open(lock_path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  std::vector<std::unique_ptr<testing::Program>> tools;
  for (int i = 0; i < kTools; ++i) {
    tools.push_back(std::make_unique<testing::Program>(
        QUILLFEN_TOOL_PATH, testing::ProgramSetup({})));
  }
  auto waits_at_lock = [&](pid_t pid) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ignored;
    for (const auto& fd : std::filesystem::directory_iterator(fds, ignored)) {
      if (std::filesystem::read_symlink(fd.path(), ignored) == lock_path) {
        return true;
      }
    }
    return false;
  };
  EXPECT_TRUE(testing::PollUntil(
      [&] {
        return std::all_of(tools.begin(), tools.end(), [&](const auto& t) {
          return waits_at_lock(t->pid());
        });
      },
      60s));
  close(lock);
  auto ended = [&] {
    std::vector<int> which;
    for (int i = 0; i < kTools; ++i) {
      if (tools[i]->Ended()) which.push_back(i);
    }
    return which;
  };
  ASSERT_TRUE(testing::PollUntil([&] { return !ended().empty(); }, 60s));
  const int carrier = ended().front();
  EXPECT_EQ(tools[carrier]->exit_status(), 0) << tools[carrier]->err();
  // A second taker would call the service, reply and end at about the
  // same time: give it well over that to show itself.
  EXPECT_FALSE(testing::PollUntil([&] { return ended().size() > 1; }, 2s));
  std::optional<Value> reply = Read("reply");
  ASSERT_TRUE(reply && reply->AsString());
  Dictionary fields = testing::DictionaryFromJson(*reply->AsString());
  EXPECT_EQ(testing::RemovedPaths(fields).size(), std::size_t{kFiles})
      << *reply->AsString();
  EXPECT_EQ(fields.at("errorDict"), Value(Dictionary{}));
  EXPECT_TRUE(volume_.Listing().empty());
  EXPECT_FALSE(Read("message"));
  // The others found no request and wait, as without a message, until
  // they are ended.
  for (int i = 0; i < kTools; ++i) {
    if (i == carrier) continue;
    EXPECT_EQ(tools[i]->err(), "");
    ASSERT_EQ(kill(tools[i]->pid(), SIGTERM), 0);
    EXPECT_TRUE(tools[i]->WaitFor(10s));
    EXPECT_EQ(tools[i]->signal(), SIGTERM);
  }
}

TEST_F(RemovalToolTest, WithoutAMessageItPublishesItsVersionAndWaits) {
  bool confined = false;
  bool published = false;
  // Once it has published its version, its launch is over: it is then
  // watched for a while, to see that it doesn't quit.
  ToolRun run = RunTool(500ms, [&](pid_t pid) {
    published = testing::PollUntil(
        [&] { return Read("toolVersion").has_value(); }, testing::kPatience);
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line == "NoNewPrivs:\t1") confined = true;
    }
  });
  ASSERT_TRUE(published) << run.log;
  EXPECT_FALSE(run.exited) << "the tool quit without a message";
  EXPECT_TRUE(confined) << "the tool did not confine itself";
  EXPECT_EQ(Read("toolVersion"), Value(ToolShortVersionString()));
  EXPECT_FALSE(Read("reply"));
}

TEST_F(RemovalToolTest, MessagesThatAreNoRequestLogOnceAndGetTheEmptyReply) {
  const std::string empty_reply =
      R"({"errorDict":{},"pathArray":[],"showReadMe":false,"volumePath":""})";
  for (const Value& message :
       {Value("not json at all"), Value("[\"a\", \"list\"]"), Value(42)}) {
    LeaveMessage(message);
    ToolRun run = RunTool(10s);
    ASSERT_TRUE(run.exited) << run.log;
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(
        LinesStartingWith(run.log, "Error converting JSON to dictionary: ")
            .size(),
        1u)
        << run.log;
    EXPECT_EQ(LinesStartingWith(run.log, "").size(), 1u) << run.log;
    EXPECT_EQ(Read("reply"), Value(empty_reply));
    EXPECT_FALSE(Read("message"));
  }
}

// Text the bus would cut short or refuse, wherever it sits in a request:
// the request is refused whole, in the words the engine's preview uses,
// and the tool answers and quits.
TEST_F(RemovalToolTest, RequestTheBusCantCarryIsRefusedWhole) {
  volume_.MakeFile("._ok");
  volume_.MakeFile("x.tmp");
  const std::string before = testing::TreeSnapshot(volume_.path());
  const std::string v = volume_.path();
  struct Case {
    std::string message;
    std::string says;  // In the refusal.
  };
  const std::vector<Case> refused = {
      {R"({"volumePath":")" + v + R"(\u0000/elsewhere","appleDouble":true})",
       "“volumePath” holds a NUL character"},
      {R"({"volumePath":")" + v +
           R"(","extensionsArray":["tmp"],"fileKeepArray":["\ufdd0"]})",
       "“fileKeepArray” holds a Unicode noncharacter"},
      {R"({"volumePath":")" + v + R"(","appleDouble":true,"x\udbff\udfff":1})",
       "a key holds a Unicode noncharacter"},
  };
  for (const Case& c : refused) {
    LeaveMessage(Value(c.message));
    ToolRun run = RunTool(10s);
    ASSERT_TRUE(run.exited) << c.message << run.log;
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(LinesStartingWith(run.log, "Error ").size(), 1u) << run.log;
    EXPECT_EQ(testing::TreeSnapshot(volume_.path()), before) << c.message;
    std::optional<Value> stored = Read("reply");
    ASSERT_TRUE(stored && stored->AsString()) << c.message;
    Result<Value> reply = ValueFromJsonText(*stored->AsString());
    ASSERT_TRUE(reply.ok()) << *stored->AsString();
    Result<Value> request = ValueFromJsonText(c.message);
    ASSERT_TRUE(request.ok()) << c.message;
    // The preview, run by the engine in this process, says the same.
    EXPECT_EQ(*reply, Value(QuillfenRemovalService().previewWithFileDict(
                          *request->AsDictionary())));
    const Dictionary& errors =
        *reply->AsDictionary()->at("errorDict").AsDictionary();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(Value(errors.begin()->first),
              request->AsDictionary()->at("volumePath"));
    EXPECT_NE(errors.begin()->second.AsString()->find(c.says),
              std::string::npos)
        << *errors.begin()->second.AsString();
  }
}

// A stand-in service that looks into the shared domain when it is called.
class DomainReadingService : public QuillfenRemovalServiceProtocol {
 public:
  void removeWithFileDict(const RemovalRequest&,
                          const ReplyBlock& withReply) override {
    bool message_there =
        SharedSuite(SharedSuiteName).objectForKey("message").has_value();
    withReply({{"messageStillThere", Value(message_there)}});
  }
};

class RemovalToolWithStandInTest : public RemovalToolTest {
 protected:
  RemovalToolWithStandInTest() : RemovalToolTest(/*with_services=*/false) {}
};

TEST_F(RemovalToolWithStandInTest, RequestIsTakenOutBeforeTheServiceIsCalled) {
  testing::ExportingDelegate delegate(
      [] { return std::make_shared<DomainReadingService>(); });
  // Idle for longer than a loaded machine takes to launch the tool: with
  // no activation file, a stand-in gone idle would leave its call unserved.
  testing::InProcessService service(bus_, &delegate, 5s);
  LeaveMessage(Value(R"({"volumePath":"/nonexistent"})"));
  ToolRun run = RunTool(10s);
  ASSERT_TRUE(run.exited) << run.log;
  EXPECT_EQ(Read("reply"), Value(R"({"messageStillThere":false})"));
}

TEST(AppDelegateTest, ConnectingTwiceMakesOneConnection) {
  TempTree no_services;
  TestBus bus(no_services.path());
  auto delegate = std::make_shared<AppDelegate>();
  delegate->connectToXPCService();
  std::shared_ptr<ServiceClientConnection> first =
      delegate->removalServiceConnection();
  ASSERT_TRUE(first);
  delegate->connectToXPCService();
  EXPECT_EQ(delegate->removalServiceConnection(), first);
}

TEST(AppDelegateDeathTest, ConnectingOffTheMainThreadStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto delegate = std::make_shared<AppDelegate>();
  EXPECT_DEATH(std::thread([&] { delegate->connectToXPCService(); }).join(),
               "Assertion failure in -\\[AppDelegate\\(RemovalMethods\\) "
               "connectToXPCService\\], RemovalMethods.cpp:20\n"
               ".*\\[NSThread isMainThread\\]");
}

}  // namespace
}  // namespace quillfen
