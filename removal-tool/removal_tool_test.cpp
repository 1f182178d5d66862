// The removal tool as Quillfen uses it: a request left in the shared domain
// of a temporary XDG_CONFIG_HOME, the tool started as a process on a
// private bus, the reply and the notification observed from outside.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/shared_suite.h"
#include "protocol/identifiers.h"
#include "protocol/json_form.h"
#include "protocol/removal_reply.h"
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

  void Leave(std::string_view key, const Value& value) {
    SharedSuite suite(SharedSuiteName);
    suite.setObject(value, key);
    ASSERT_TRUE(suite.synchronize()) << suite.lastError();
  }
  std::optional<Value> Read(std::string_view key) {
    return SharedSuite(SharedSuiteName).objectForKey(key);
  }
  Dictionary StoredReply() {
    std::optional<Value> stored = Read("reply");
    EXPECT_TRUE(stored && stored->AsString());
    return testing::DictionaryFromJson(
        stored && stored->AsString() ? *stored->AsString() : "");
  }
  // Runs the tool on a message it may not pass on: it logs one line that
  // begins with |says|, touches nothing, quits and stores a reply.
  Dictionary RunRefusing(const std::string& says) {
    const std::string before = testing::TreeSnapshot(volume_.path());
    ToolRun run = RunTool(60s);
    EXPECT_TRUE(run.exited && run.status == 0) << run.log;
    std::vector<std::string> logged = LinesStartingWith(run.log, "");
    EXPECT_EQ(logged.size(), 1u) << run.log;
    EXPECT_TRUE(!logged.empty() && logged[0].starts_with(says)) << run.log;
    EXPECT_EQ(testing::TreeSnapshot(volume_.path()), before);
    EXPECT_FALSE(Read("message"));
    return StoredReply();
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

  TempTree config_, volume_, no_services_;
  TestBus bus_;
};

TEST_F(RemovalToolTest, WithoutAMessageItPublishesItsVersionAndWaits) {
  bool confined = false, published = false;
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

// A message that is no request, or a request with text the bus would cut
// short or refuse wherever it sits: the tool logs one line, stores the
// reply the engine's preview gives (the refusal in its words, or the empty
// reply), removes nothing and quits.
TEST_F(RemovalToolTest, MessagesItCantPassOnGetOneLogLineAndTheRefusal) {
  volume_.MakeFile("._ok");
  const std::string v = volume_.path();
  for (const auto& [message, says] :
       {std::pair{R"({"volumePath":")" + v +
                      R"(\u0000/elsewhere","appleDouble":true})",
                  "“volumePath” holds a NUL character"},
        std::pair{R"({"volumePath":")" + v +
                      R"(","appleDouble":true,"x\udbff\udfff":1})",
                  "a key holds a Unicode noncharacter"}}) {
    SCOPED_TRACE(message);
    Leave("message", Value(message));
    EXPECT_EQ(RunRefusing(std::string("Error sending the request: ") + says),
              QuillfenRemovalService().previewWithFileDict(
                  *ValueFromJsonText(message)->AsDictionary()));
  }
  // Not even text.
  Leave("message", Value(42));
  EXPECT_EQ(RunRefusing("Error converting JSON to dictionary: "),
            EmptyRemovalReply());
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
  Leave("message", Value(R"({"volumePath":"/nonexistent"})"));
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
