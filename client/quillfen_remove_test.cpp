// quillfen-remove end to end: the built program, the built tool and the
// built service, on a private bus, with the shared domain in a temporary
// XDG_CONFIG_HOME.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

#include "client/removal_options.h"
#include "client/reply_summary.h"
#include "platform/durable_file.h"
#include "platform/shared_suite.h"
#include "protocol/identifiers.h"
#include "testing/program.h"
#include "testing/support.h"
#include "testing/temp_tree.h"
#include "testing/test_bus.h"

namespace quillfen {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::quillfen::testing::DictionaryFromJson;
using ::quillfen::testing::kPatience;
using ::quillfen::testing::PollUntil;
using ::quillfen::testing::ProgramSetup;
using ::quillfen::testing::RemovedPaths;
using ::quillfen::testing::TempTree;
using ::quillfen::testing::TestBus;
constexpr std::size_t npos = std::string::npos;

struct ProgramRun {
  int status = -1;  // Exit status, or -1 when it didn't exit normally.
  std::string out, err;
};

// The programs started here inherit the test's bus (TestBus sets it in this
// process's environment) and its domain.
class QuillfenRemoveTest : public ::testing::Test {
 protected:
  QuillfenRemoveTest() { setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1); }
  ~QuillfenRemoveTest() override { unsetenv("XDG_CONFIG_HOME"); }

  ProgramRun Remove(const std::vector<std::string>& args,
                    const std::vector<std::string>& environment = {},
                    const std::string& program = QUILLFEN_CLIENT_PATH) {
    testing::Program run(program, ProgramSetup(args, environment));
    run.WaitFor(60s);
    return {run.exit_status(), run.out(), run.err()};
  }
  // The client, left running.
  std::unique_ptr<testing::Program> Start(
      const std::vector<std::string>& args) {
    return std::make_unique<testing::Program>(QUILLFEN_CLIENT_PATH,
                                              ProgramSetup(args));
  }
  std::optional<Value> Stored(std::string_view key) {
    return SharedSuite(SharedSuiteName).objectForKey(key);
  }
  void MakeSampleVolume() {
    for (const char* f : {"._a", "sub/._b", ".DS_Store", "Thumbs.db", "x.tmp",
                          "sub/keep.tmp", "photo.jpg"}) {
      volume_.MakeFile(f);
    }
  }
  // The entries in the volume's folders, counted a folder at a time: a
  // walk could be upset by the removal under way.
  std::size_t EntriesInFolders() {
    long count = 0;
    for (const auto& folder : fs::directory_iterator(volume_.path())) {
      count += testing::EntryCount(folder.path());
    }
    return static_cast<std::size_t>(count);
  }

  TempTree config_, volume_;
  TestBus bus_;
};

TEST_F(QuillfenRemoveTest, OptionsBecomeTheRequestAndTheSummarySaysWhatWent) {
  MakeSampleVolume();
  ProgramRun run = Remove({"-a", "-n", ".DS_Store", "--name", "Thumbs*", "-e",
                           "tmp", "-k", "keep.tmp", volume_.path()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Removed 5 items from " + volume_.path() + ".\n");
  EXPECT_EQ(volume_.Listing(),
            (std::vector<std::string>{"photo.jpg", "sub/", "sub/keep.tmp"}));

  // A request that can't start is said in one line.
  std::string missing = volume_.PathOf("missing");
  run = Remove({"--preview", "-a", missing});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "The volume “" + missing + "” doesn’t exist.\n");

  EXPECT_EQ(Remove({}).status, 2);  // No volume.
  EXPECT_EQ(Remove({"--request", "-", volume_.path()}).status, 2);
  EXPECT_EQ(Remove({"--bogus", volume_.path()}).status, 2);
  // A request "file" that is a folder is refused in words, not a crash.
  run = Remove({"--request", volume_.path()});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("Is a directory"), npos) << run.err;
}

// The home folder, or a folder holding it, is cleaned only with --force,
// however it is spelt; a refusal is one line and touches nothing.
TEST_F(QuillfenRemoveTest, TheHomeFolderIsCleanedOnlyWithForce) {
  volume_.MakeFile("home/me/x.tmp");
  volume_.MakeFile("home/me/notes.txt");
  volume_.MakeFile("home/other/y.tmp");
  const std::string home = volume_.PathOf("home/me");
  const std::vector<std::string> home_env = {"HOME=" + home};
  const std::string snapshot = testing::TreeSnapshot(volume_.path());
  for (const std::string& spelling :
       {home + "/", volume_.PathOf("home/me/../me"), volume_.PathOf("home")}) {
    ProgramRun run = Remove({"-e", "tmp", spelling}, home_env);
    EXPECT_EQ(run.status, 2) << spelling;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(run.err.starts_with("quillfen-remove: " + spelling)) << run.err;
    EXPECT_NE(run.err.find("--force"), npos) << run.err;
    EXPECT_EQ(testing::LinesStartingWith(run.err, "").size(), 1u) << run.err;
  }
  EXPECT_EQ(Remove({"--preview", "-e", "tmp", home}, home_env).status, 2);
  EXPECT_EQ(testing::TreeSnapshot(volume_.path()), snapshot);

  // A folder beside it is no concern of the rails.
  EXPECT_EQ(
      Remove({"-e", "tmp", volume_.PathOf("home/other")}, home_env).status, 0);
  ProgramRun run = Remove({"--force", "-e", "tmp", home}, home_env);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Removed 1 item from " + home + ".\n");
  EXPECT_EQ(volume_.Listing(),
            (std::vector<std::string>{"home/", "home/me/", "home/me/notes.txt",
                                      "home/other/"}));
}

// Each invocation knows its own reply by its token: another program's
// message and reply, left in the shared domain mid-exchange, are never
// reported as this one's; and a client whose terminal closed leaves no
// reply for the next one to take for its own.
TEST_F(QuillfenRemoveTest, AnotherExchangesReplyIsNeverTakenForThisOnes) {
  testing::MakeManyFiles(volume_.path(), 20, 500, ".tmp");
  TempTree theirs;
  theirs.MakeFile("b.tmp");
  std::unique_ptr<testing::Program> client =
      Start({"--json", "-e", "tmp", volume_.path()});
  // As soon as the client has left its request, the application leaves
  // its own and starts a tool for it.
  ASSERT_TRUE(PollUntil([&] { return Stored("message") || client->Ended(); },
                        kPatience));
  SharedSuite suite(SharedSuiteName);
  suite.setObject(Value("{\"volumePath\": \"" + theirs.path() +
                        "\", \"extensionsArray\": [\"tmp\"]}"),
                  "message");
  ASSERT_TRUE(suite.synchronize()) << suite.lastError();
  testing::Program application_tool(
      std::string(QUILLFEN_BUILD_DIR) + "/removal-tool/QuillfenRemovalTool",
      ProgramSetup({}));
  ASSERT_TRUE(client->WaitFor(120s)) << client->err();
  if (client->exit_status() == 0) {
    Dictionary reply = DictionaryFromJson(client->out());
    EXPECT_EQ(reply["volumePath"], Value(volume_.path()));
    EXPECT_EQ(RemovedPaths(reply).size(), 10000u);
  } else {
    EXPECT_EQ(client->exit_status(), 2) << client->out();
    EXPECT_NE(client->err().find("another program used the shared domain"),
              npos)
        << client->err();
    EXPECT_EQ(client->out().find(theirs.path()), npos);
  }

  // A client whose terminal closes, once its removal is under way, stops
  // it and ends; the next one gets its own reply.
  testing::MakeManyFiles(volume_.path(), 20, 500, ".tmp");
  std::unique_ptr<testing::Program> closed =
      Start({"-e", "tmp", volume_.path()});
  ASSERT_TRUE(
      PollUntil([&] { return EntriesInFolders() < 10000 || closed->Ended(); },
                kPatience));
  ASSERT_EQ(kill(closed->pid(), SIGHUP), 0);
  ASSERT_TRUE(closed->WaitFor(kPatience)) << "SIGHUP was ignored";
  TempTree next;
  next.MakeFile("c.tmp");
  ProgramRun run = Remove({"--json", "-e", "tmp", next.path()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(RemovedPaths(DictionaryFromJson(run.out)),
            (std::set<std::string>{next.PathOf("c.tmp")}));
}

TEST(ReplySummaryTest, FailuresComeWithTheirReasonsAndThePermissionHint) {
  RemovalReply reply{
      {"showReadMe", Value(true)},
      {"volumePath", Value("/v")},
      {"pathArray", Value(Array{Value("/v/x"), Value("/v/y")})},
      {"errorDict", Value(Dictionary{{"/v/a", Value("Not allowed.")}})}};
  std::string text = SummarizeReply(reply);
  EXPECT_TRUE(
      text.starts_with("Removed 2 items from /v.\n"
                       "1 item wasn’t removed:\n  /v/a: Not allowed.\n"))
      << text;
  EXPECT_NE(text.find("lack of permission"), npos);
  EXPECT_EQ(ExitStatusFor(reply), kExitSomeFailed);
  reply["showReadMe"] = Value(false);
  EXPECT_EQ(SummarizeReply(reply).find("lack of permission"), npos);

  // An error under the volume's own path is the whole story only when
  // nothing was removed and nothing else failed.
  reply["errorDict"] = Value(Dictionary{{"/v", Value("Stopped early.")}});
  EXPECT_TRUE(SummarizeReply(reply).starts_with("Removed 2 items from /v.\n"));
  reply["pathArray"] = Value(Array{});
  EXPECT_EQ(SummarizeReply(reply), "Stopped early.\n");
  EXPECT_EQ(ExitStatusFor(reply), kExitSomeFailed);
  reply["errorDict"] = Value(
      Dictionary{{"/v", Value("Stopped early.")}, {"/v/a", Value("Busy.")}});
  EXPECT_TRUE(SummarizeReply(reply).starts_with("Removed 0 items from /v.\n"));
}

// The preview removes nothing and never starts the tool; it lists what the
// removal removes, or gives the same refusal: an option that isn't UTF-8
// can't be held in the shared domain.
TEST_F(QuillfenRemoveTest, PreviewAndRemovalGiveOneAnswer) {
  MakeSampleVolume();
  volume_.MakeFile("cache.tmp/inner");
  const std::vector<std::string> before = volume_.Listing();
  for (const char* name : {"*\xff", "Thumbs.db"}) {
    std::vector<std::string> args = {
        "--json", "-a", "-e", "tmp", "-n", name, volume_.path(), "--preview"};
    ProgramRun preview = Remove(args);
    EXPECT_EQ(volume_.Listing(), before);
    EXPECT_FALSE(Stored("toolVersion"));
    args.pop_back();
    ProgramRun removal = Remove(args);
    EXPECT_EQ(removal.status, preview.status);
    if (name[0] == '*') {
      EXPECT_EQ(removal.out, preview.out);
      EXPECT_NE(removal.out.find("can’t travel whole"), npos) << removal.err;
      EXPECT_EQ(volume_.Listing(), before);
    } else {
      Dictionary listed = DictionaryFromJson(preview.out);
      EXPECT_EQ(RemovedPaths(listed).size(), 6u);
      EXPECT_EQ(RemovedPaths(listed),
                RemovedPaths(DictionaryFromJson(removal.out)));
    }
  }
}

// With no session bus the client starts a bus of its own. An exchange
// changes its own keys only: another comes back as the very text it was.
TEST_F(QuillfenRemoveTest, WithoutASessionBusOtherKeysComeBackByteForByte) {
  const std::string kept =
      R"("esc":"\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00\u0000")";
  const std::string folder = SharedSuite::FolderFor(SharedSuiteName);
  ASSERT_TRUE(SharedSuite::MakeFolder(folder).ok());
  std::ofstream(folder + "/preferences.json")
      << "{\"toolVersion\":\"0.0\", " << kept << ", \"reply\":\"stale\"}";
  MakeSampleVolume();
  ProgramRun run = Remove({"-a", volume_.path()},
                          {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "Removed 2 items from " + volume_.path() + ".\n");
  EXPECT_NE(testing::FileContent(folder + "/preferences.json").find(kept),
            npos);
}

// Installs a copy of the client in |prefix|, beside a stand-in tool that
// runs |script|, and answers the copy's path.
std::string InstallWithTool(const TempTree& prefix, const std::string& script) {
  fs::create_directories(prefix.PathOf("bin"));
  fs::create_directories(prefix.PathOf("libexec/quillfen"));
  fs::create_directories(prefix.PathOf("share/dbus-1"));
  fs::copy_file(QUILLFEN_CLIENT_PATH, prefix.PathOf("bin/quillfen-remove"));
  std::string tool = prefix.PathOf("libexec/quillfen/QuillfenRemovalTool");
  std::ofstream(tool) << "#!/bin/sh\n" << script << "\n";
  chmod(tool.c_str(), 0755);
  fs::create_directory_symlink(
      std::string(QUILLFEN_BUILD_DIR) + "/share/dbus-1/services",
      prefix.PathOf("share/dbus-1/services"));
  return prefix.PathOf("bin/quillfen-remove");
}

// A tool that dies without replying, or never replies: the client says so,
// for that reason, and withdraws the request rather than leave it for a
// later launch.
TEST_F(QuillfenRemoveTest, ToolThatDiesOrHangsIsReported) {
  for (auto [script, timeout, says] :
       {std::tuple{"exit 3", "60",
                   "tool ended without replying (exit status 3)"},
        std::tuple{"exec sleep 60", "0.3", "no reply within 0.3 s"}}) {
    TempTree prefix;
    ProgramRun run = Remove({"--timeout", timeout, "-a", volume_.path()}, {},
                            InstallWithTool(prefix, script));
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(says), npos) << run.err;
    EXPECT_FALSE(Stored("message"));
  }
}

TEST_F(QuillfenRemoveTest,
       SessionBusThatCannotStartTheServiceSaysHowToInstall) {
  TempTree no_services;
  TestBus bare(no_services.path());
  ProgramRun run = Remove({"-a", volume_.path()},
                          {"DBUS_SESSION_BUS_ADDRESS=" + bare.address()});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("can't start the removal service"), npos) << run.err;
  EXPECT_NE(run.err.find("dbus-1/services"), npos);
}

TEST(RemovalOptionsTest, RelativeVolumeIsMadeAbsolute) {
  RemovalOptions options;
  options.volume_path = "stick";
  EXPECT_EQ(RequestFromOptions(options)->at("volumePath"),
            Value((fs::current_path() / "stick").string()));
}

// Runs the client under a pseudo-terminal, as a person does, with
// standard output to |out|; types Ctrl-C once |ready| holds for the screen
// so far, and answers the exit status (-1 when it had to be killed) and the
// whole screen.
std::pair<int, std::string> RunOnATerminal(
    std::vector<std::string> args, const std::string& out,
    const std::function<bool(const std::string&)>& ready) {
  args.insert(args.begin(), QUILLFEN_CLIENT_PATH);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  int terminal = -1;
  pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    dup2(out_fd, STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out_fd);
  std::string screen;
  bool typed = false;
  // The terminal answers EIO once the last of its users has gone.
  for (auto limit = std::chrono::steady_clock::now() + 60s;
       std::chrono::steady_clock::now() < limit;) {
    if (!typed && ready(screen)) typed = write(terminal, "\x03", 1) == 1;
    pollfd fd = {terminal, POLLIN, 0};
    if (poll(&fd, 1, 100) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(terminal, buffer, sizeof buffer);
    if (n <= 0) break;
    screen.append(buffer, n);
  }
  kill(pid, SIGKILL);  // Only a client that hung is still there.
  int status = 0;
  waitpid(pid, &status, 0);
  close(terminal);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, screen};
}

// The volume is slow to walk for a reason of its own: each folder holds
// names a wildcard entry can't settle within its budget.
TEST_F(QuillfenRemoveTest, ProgressOnTheTerminalAndCtrlCStopsWithTheTruth) {
  for (int i = 0; i < 60; ++i) {
    std::string folder = "d" + std::to_string(100 + i);
    for (int j = 0; j < 3; ++j) {
      volume_.MakeFile(folder + "/x" + std::string(240, 'a') + "_" +
                       std::to_string(j));
      volume_.MakeFile(folder + "/t" + std::to_string(j) + ".tmp");
    }
  }
  const std::size_t entries = EntriesInFolders();
  TempTree out;
  // Options are globs, which never backtrack: the request's own entry does.
  out.MakeFile("request.json",
               "{\"volumePath\": \"" + volume_.path() +
                   "\", \"fileRemovalArray\": [\"(x)*a*a*a*a*a*c\"], "
                   "\"extensionsArray\": [\"tmp\"]}");
  auto [status, screen] =
      RunOnATerminal({"--json", "--request", out.PathOf("request.json")},
                     out.PathOf("out"), [&](const std::string& shown) {
                       return shown.find(" removed · ") != npos &&
                              EntriesInFolders() + 9 <= entries;
                     });
  EXPECT_EQ(status, 130) << screen;
  // The line moved, said what it counts, and was cleared at the end.
  EXPECT_NE(screen.find(" walked · "), npos);
  EXPECT_NE(screen.find(" entries/s"), npos);
  EXPECT_TRUE(screen.ends_with("\r\033[K")) << screen;
  // Standard output is exactly the stored reply, of a removal stopped
  // midway that names what is gone.
  std::optional<Value> stored = Stored("reply");
  ASSERT_TRUE(stored && stored->AsString());
  EXPECT_EQ(testing::FileContent(out.PathOf("out")),
            *stored->AsString() + "\n");
  Dictionary reply = DictionaryFromJson(*stored->AsString());
  std::size_t removed = RemovedPaths(reply).size();
  EXPECT_EQ(removed, entries - EntriesInFolders());
  EXPECT_LT(removed, 180u) << "the removal was not stopped";
  EXPECT_TRUE(reply.at("errorDict").AsDictionary()->contains(volume_.path()));
}

// Whether the process |pid| has the file at |path| open.
bool HoldsOpen(pid_t pid, const std::string& path) {
  std::error_code error;
  fs::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", error);
  for (; !error && fds != fs::directory_iterator(); fds.increment(error)) {
    std::error_code unreadable;
    if (fs::read_symlink(fds->path(), unreadable) == path) return true;
  }
  return false;
}

// |client| ended of itself within the tests' patience, with status 130 and
// one line on standard error that holds each of |words|.
void ExpectInterruptedInALine(testing::Program& client,
                              const std::vector<std::string>& words) {
  ASSERT_TRUE(client.WaitFor(kPatience)) << "the client hung";
  EXPECT_EQ(client.exit_status(), 130) << client.err();
  std::vector<std::string> lines = testing::LinesStartingWith(client.err(), "");
  ASSERT_EQ(lines.size(), 1u) << client.err();
  EXPECT_TRUE(lines[0].starts_with("quillfen-remove: ")) << lines[0];
  for (const std::string& word : words) {
    EXPECT_NE(lines[0].find(word), npos) << lines[0];
  }
  EXPECT_EQ(client.out(), "");
}

// A client whose turn is held by one that is suspended waits without end;
// a person must still be able to leave it, with the volume untouched. Once
// the turn is free, the one still waiting is served.
TEST_F(QuillfenRemoveTest, ClientWaitingForItsTurnCanBeInterrupted) {
  MakeSampleVolume();
  const std::string turn_lock =
      SharedSuite::FolderFor(SharedSuiteName) + "/exchange.lock";
  std::unique_ptr<testing::Program> first = Start({"-a", volume_.path()});
  ASSERT_TRUE(PollUntil([&] { return LockIsHeld(turn_lock) || first->Ended(); },
                        kPatience));
  ASSERT_FALSE(first->Ended()) << first->err();
  ASSERT_EQ(kill(first->pid(), SIGSTOP), 0);

  TempTree other;
  other.MakeFile("._c");
  // A client waiting for the turn: its signals are caught by then.
  auto waiting = [&] {
    std::unique_ptr<testing::Program> client = Start({"-a", other.path()});
    EXPECT_TRUE(PollUntil(
        [&] { return HoldsOpen(client->pid(), turn_lock) || client->Ended(); },
        kPatience));
    return client;
  };
  for (std::vector<int> signals :
       {std::vector{SIGINT, SIGINT}, std::vector{SIGTERM}}) {
    std::unique_ptr<testing::Program> second = waiting();
    for (int signal : signals) ASSERT_EQ(kill(second->pid(), signal), 0);
    ExpectInterruptedInALine(*second,
                             {"nothing was asked of the removal service"});
    EXPECT_EQ(other.Listing(), std::vector<std::string>{"._c"});
  }

  std::unique_ptr<testing::Program> served = waiting();
  ASSERT_EQ(kill(first->pid(), SIGCONT), 0);
  ASSERT_TRUE(first->WaitFor(60s) && served->WaitFor(60s)) << "a client hung";
  EXPECT_EQ(first->out(), "Removed 2 items from " + volume_.path() + ".\n");
  EXPECT_EQ(served->out(), "Removed 1 item from " + other.path() + ".\n");
  EXPECT_EQ(first->exit_status() | served->exit_status(), 0) << served->err();
}

// A suspended service answers no stop request; the person's second Ctrl-C
// ends the client all the same, saying what it can't know.
TEST_F(QuillfenRemoveTest, SecondCtrlCEndsTheClientWhenTheServiceIsSuspended) {
  constexpr int kFolders = 100;
  testing::MakeManyFiles(volume_.path(), kFolders, 100, "");
  std::unique_ptr<testing::Program> client =
      Start({"-n", "d*", volume_.path()});
  ASSERT_TRUE(PollUntil(
      [&] {
        return testing::EntryCount(volume_.path()) < kFolders ||
               client->Ended();
      },
      60s));
  ASSERT_FALSE(client->Ended()) << client->err();
  std::unique_ptr<sdbus::IConnection> probe = bus_.Connect();
  pid_t service = testing::OwnerPid(*probe, std::string(ServiceName));
  ASSERT_GT(service, 0);
  ASSERT_EQ(kill(service, SIGSTOP), 0);

  ASSERT_EQ(kill(client->pid(), SIGINT), 0);
  // Let the first ask go out, as a person's second press would.
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(kill(client->pid(), SIGINT), 0);
  ExpectInterruptedInALine(
      *client, {"the removal may still be going on", "no reply was read"});
  EXPECT_EQ(kill(service, SIGCONT), 0);
}

// A stick as a Mac and a Windows PC leave it, cleaned with the presets and
// a keep glob; with no rule at all the client names the presets.
TEST_F(QuillfenRemoveTest, PresetsCleanAStickAndAKeepGlobSparesWhatItMatches) {
  for (const char* f :
       {".DS_Store", "._IMG_0001.JPG", "DCIM/100APPLE/IMG_0001.JPG",
        "DCIM/100APPLE/._IMG_0001.JPG", ".Spotlight-V100/Store-V2/index",
        ".Trashes/501/old.txt", ".fseventsd/0000000000000001",
        ".TemporaryItems/folders.501/x", ".apdisk", "THUMBS.DB",
        "Photos/desktop.ini", "$RECYCLE.BIN/S-1-5-21/desktop.ini", "._keep.me",
        "notes (1).txt"}) {
    volume_.MakeFile(f);
  }
  ProgramRun run =
      Remove({"--mac", "--windows", "-i", "-k", "._KEEP*", volume_.path()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(volume_.Listing(),
            (std::vector<std::string>{"._keep.me", "DCIM/", "DCIM/100APPLE/",
                                      "DCIM/100APPLE/IMG_0001.JPG", "Photos/",
                                      "notes (1).txt"}))
      << run.out;

  run = Remove({volume_.path()});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("--mac"), npos) << run.err;
  EXPECT_NE(run.err.find("--windows"), npos) << run.err;
}

}  // namespace
}  // namespace quillfen
