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

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <set>
#include <thread>

#include "client/removal_options.h"
#include "client/reply_summary.h"
#include "platform/durable_file.h"
#include "platform/shared_suite.h"
#include "protocol/identifiers.h"
#include "protocol/json_form.h"
#include "testing/program.h"
#include "testing/support.h"
#include "testing/temp_tree.h"
#include "testing/test_bus.h"

namespace quillfen {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::quillfen::testing::ProgramSetup;
using ::quillfen::testing::TempTree;
using ::quillfen::testing::TestBus;

struct ProgramRun {
  int status = -1;  // Exit status, or -1 when it didn't exit normally.
  std::string out, err;
};

class QuillfenRemoveTest : public ::testing::Test {
 protected:
  QuillfenRemoveTest() { setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1); }
  ~QuillfenRemoveTest() override { unsetenv("XDG_CONFIG_HOME"); }

  ProgramRun Remove(const std::vector<std::string>& args,
                    std::vector<std::string> environment = {},
                    const std::string& program = QUILLFEN_CLIENT_PATH) {
    testing::Program run(program, Setup(args, std::move(environment)));
    run.WaitFor(std::chrono::seconds(60));
    return {run.exit_status(), run.out(), run.err()};
  }
  // The client started on the test's bus and domain, left running.
  std::unique_ptr<testing::Program> Start(
      const std::vector<std::string>& args) {
    return std::make_unique<testing::Program>(QUILLFEN_CLIENT_PATH,
                                              Setup(args, {}));
  }
  ProgramSetup Setup(const std::vector<std::string>& args,
                     std::vector<std::string> environment) {
    // The test's bus and domain, unless |environment| changes them.
    for (const std::string& entry :
         {"DBUS_SESSION_BUS_ADDRESS=" + bus_.address(),
          "XDG_CONFIG_HOME=" + config_.path()}) {
      std::string name = entry.substr(0, entry.find('='));
      if (std::none_of(environment.begin(), environment.end(),
                       [&](const std::string& change) {
                         return change.substr(0, change.find('=')) == name;
                       })) {
        environment.push_back(entry);
      }
    }
    return ProgramSetup(args, environment);
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

  // A request that can't start is said in one line, removal or preview.
  std::string missing = volume_.PathOf("missing");
  run = Remove({"-a", missing});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "The volume “" + missing + "” doesn’t exist.\n");
  std::string file = volume_.PathOf("photo.jpg");
  run = Remove({"--preview", "-a", file});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "The volume “" + file + "” isn’t a folder.\n");

  EXPECT_EQ(Remove({}).status, 2);  // No volume.
  EXPECT_EQ(Remove({"--request", "-", volume_.path()}).status, 2);
  // A request "file" that is a folder is refused in words, not a crash.
  run = Remove({"--request", volume_.path()});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("Is a directory"), std::string::npos) << run.err;
  EXPECT_EQ(Remove({"--bogus", volume_.path()}).status, 2);
  run = Remove({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Exit status"), std::string::npos);
  run = Remove({"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("quillfen-remove "), std::string::npos);
}

// The home folder, or a folder holding it, is cleaned only with --force,
// however it is spelt; a refusal is one line and touches nothing.
TEST_F(QuillfenRemoveTest, TheHomeFolderIsCleanedOnlyWithForce) {
  volume_.MakeFile("home/me/x.tmp");
  volume_.MakeFile("home/me/notes.txt");
  const std::string home = volume_.PathOf("home/me");
  const std::string home_env = "HOME=" + home;
  const std::string snapshot = testing::TreeSnapshot(volume_.path());
  for (const std::string& spelling :
       {home, home + "/", volume_.PathOf("home/me/../me"),
        volume_.PathOf("home"), volume_.path()}) {
    ProgramRun run = Remove({"-e", "tmp", spelling}, {home_env});
    EXPECT_EQ(run.status, 2) << spelling;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(run.err.starts_with("quillfen-remove: " + spelling)) << run.err;
    EXPECT_NE(run.err.find("your home folder"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--force"), std::string::npos) << run.err;
    EXPECT_EQ(testing::LinesStartingWith(run.err, "").size(), 1u) << run.err;
  }
  EXPECT_EQ(Remove({"--preview", "-e", "tmp", home}, {home_env}).status, 2);
  EXPECT_EQ(testing::TreeSnapshot(volume_.path()), snapshot);

  // A folder beside it is no concern of the rails.
  volume_.MakeFile("home/other/y.tmp");
  EXPECT_EQ(
      Remove({"-e", "tmp", volume_.PathOf("home/other")}, {home_env}).status,
      0);
  ProgramRun run = Remove({"--force", "-e", "tmp", home}, {home_env});
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
  ASSERT_TRUE(testing::PollUntil(
      [&] {
        std::optional<Value> message = Stored("message");
        return (message && message->AsString() &&
                message->AsString()->find(volume_.path()) !=
                    std::string::npos) ||
               client->Ended();
      },
      testing::kPatience));
  SharedSuite suite(SharedSuiteName);
  suite.setObject(Value("{\"volumePath\": \"" + theirs.path() +
                        "\", \"extensionsArray\": [\"tmp\"]}"),
                  "message");
  ASSERT_TRUE(suite.synchronize()) << suite.lastError();
  testing::Program application_tool(
      std::string(QUILLFEN_BUILD_DIR) + "/removal-tool/QuillfenRemovalTool",
      Setup({}, {}));
  ASSERT_TRUE(client->WaitFor(std::chrono::seconds(120))) << client->err();
  if (client->exit_status() == 0) {
    // Its own reply: this volume's, with everything it removed.
    Dictionary reply = testing::DictionaryFromJson(client->out());
    EXPECT_EQ(reply["volumePath"], Value(volume_.path()));
    EXPECT_EQ(testing::RemovedPaths(reply).size(), 10000u);
  } else {
    EXPECT_EQ(client->exit_status(), 2) << client->out();
    EXPECT_NE(client->err().find("another program used the shared domain"),
              std::string::npos)
        << client->err();
    EXPECT_EQ(client->out().find(theirs.path()), std::string::npos);
  }

  // A client whose terminal closes stops its removal and ends; the next
  // one gets its own reply.
  testing::MakeManyFiles(volume_.path(), 20, 500, ".tmp");
  std::unique_ptr<testing::Program> closed =
      Start({"-e", "tmp", volume_.path()});
  auto files_left = [&] {
    long left = 0;
    for (int d = 0; d < 20; ++d) {
      char folder[8];
      std::snprintf(folder, sizeof folder, "d%03d", d);
      left += testing::EntryCount(volume_.PathOf(folder));
    }
    return left;
  };
  // Once its removal is under way.
  ASSERT_TRUE(testing::PollUntil(
      [&] { return files_left() < 10000 || closed->Ended(); },
      testing::kPatience));
  ASSERT_EQ(kill(closed->pid(), SIGHUP), 0);
  ASSERT_TRUE(closed->WaitFor(testing::kPatience)) << "SIGHUP was ignored";
  TempTree next;
  next.MakeFile("c.tmp");
  ProgramRun run = Remove({"--json", "-e", "tmp", next.path()});
  EXPECT_EQ(run.status, 0) << run.err;
  Dictionary reply = testing::DictionaryFromJson(run.out);
  EXPECT_EQ(reply["volumePath"], Value(next.path()));
  EXPECT_EQ(testing::RemovedPaths(reply),
            (std::set<std::string>{next.PathOf("c.tmp")}));
}

TEST(ReplySummaryTest, FailuresComeWithTheirReasonsAndThePermissionHint) {
  RemovalReply reply{
      {"showReadMe", Value(true)},
      {"volumePath", Value("/v")},
      {"pathArray", Value(Array{Value("/v/x"), Value("/v/y")})},
      {"errorDict",
       Value(Dictionary{
           {"/v/a", Value("“a” couldn’t be removed because you "
                          "don’t have permission to access it.")}})}};
  std::string text = SummarizeReply(reply);
  EXPECT_TRUE(
      text.starts_with("Removed 2 items from /v.\n1 item wasn’t removed:\n"
                       "  /v/a: “a” couldn’t be removed because"))
      << text;
  EXPECT_NE(text.find("lack of permission"), std::string::npos);
  EXPECT_EQ(ExitStatusFor(reply), kExitSomeFailed);
  reply["showReadMe"] = Value(false);
  EXPECT_EQ(SummarizeReply(reply).find("lack of permission"),
            std::string::npos);

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
      EXPECT_NE(removal.out.find("can’t travel whole to the removal service"),
                std::string::npos)
          << removal.out << removal.err;
      EXPECT_EQ(volume_.Listing(), before);
    } else {
      Dictionary listed = testing::DictionaryFromJson(preview.out);
      EXPECT_EQ(testing::RemovedPaths(listed).size(), 6u);
      EXPECT_EQ(
          testing::RemovedPaths(listed),
          testing::RemovedPaths(testing::DictionaryFromJson(removal.out)));
    }
  }
}

TEST_F(QuillfenRemoveTest, TwoInvocationsAtOnceAreBothServed) {
  TempTree other;
  for (int i = 0; i < 200; ++i) {
    volume_.MakeFile("f" + std::to_string(i) + ".tmp");
    other.MakeFile("._" + std::to_string(i));
  }
  auto first = std::async(std::launch::async, [&] {
    return Remove({"--json", "-e", "tmp", volume_.path()});
  });
  auto second = std::async(std::launch::async, [&] {
    return Remove({"--json", "-a", other.path()});
  });
  for (auto* run : {&first, &second}) {
    ProgramRun r = run->get();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testing::RemovedPaths(testing::DictionaryFromJson(r.out)).size(),
              200u);
  }
  EXPECT_TRUE(volume_.Listing().empty());
  EXPECT_TRUE(other.Listing().empty());
}

// With no session bus the client starts a bus of its own. The domain is
// Quillfen's: an exchange changes its own keys only, every other one comes
// back as the very text it was, and the reply is stored as printed.
TEST_F(QuillfenRemoveTest, WithoutASessionBusOtherKeysComeBackByteForByte) {
  const std::vector<std::string> members = {
      R"("big":12345678901234567890123)",
      R"("huge":1e400)",
      R"("long":-0.10000000000000000555111512312578270211815834045410156250)",
      R"("esc":"\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00\u0000")",
      "\"uni\":\"\xE2\x80\xA8 \xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80\"",
      R"("nested":{ "a" : [1, 2.50, {"b": null}, []], "c" :{"d":-0.0E-0} })"};
  std::string domain = "{\"toolVersion\":\"0.0\", ";
  for (const std::string& member : members) domain += member + ", ";
  domain += "\"reply\":\"stale\"}";
  const std::string folder = SharedSuite::FolderFor(SharedSuiteName);
  ASSERT_TRUE(SharedSuite::MakeFolder(folder).ok());
  std::ofstream(folder + "/preferences.json", std::ios::binary) << domain;
  MakeSampleVolume();

  ProgramRun run = Remove({"--json", "-a", volume_.path()},
                          {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  // Deepest first.
  EXPECT_EQ(
      *ValueFromJsonText(run.out)->AsDictionary()->at("pathArray").AsArray(),
      (Array{Value(volume_.PathOf("sub/._b")), Value(volume_.PathOf("._a"))}));
  const std::string after = testing::FileContent(folder + "/preferences.json");
  std::size_t at = 0;
  for (const std::string& member : members) {
    std::size_t found = after.find(member, at);
    EXPECT_NE(found, std::string::npos) << member << " in " << after;
    at = found == std::string::npos ? at : found + member.size();
  }
  EXPECT_EQ(Stored("reply"), Value(run.out.substr(0, run.out.size() - 1)));
  EXPECT_FALSE(Stored("message"));
  for (const auto& entry : fs::directory_iterator(folder)) {
    EXPECT_EQ(entry.path().filename().string().find("corrupt"),
              std::string::npos);
  }
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
                   "the removal tool ended without replying (exit status 3)"},
        std::tuple{"exec sleep 60", "0.3", "no reply within 0.3 s"}}) {
    TempTree prefix;
    ProgramRun run = Remove({"--timeout", timeout, "-a", volume_.path()}, {},
                            InstallWithTool(prefix, script));
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
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
  EXPECT_NE(run.err.find("can't start the removal service"), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("dbus-1/services"), std::string::npos);
}

TEST(RemovalOptionsTest, RelativeVolumeIsMadeAbsolute) {
  RemovalOptions options;
  options.volume_path = "stick";
  EXPECT_EQ(RequestFromOptions(options).at("volumePath"),
            Value((fs::current_path() / "stick").string()));
}

// The client under a pseudo-terminal, as a person runs it: standard error
// is the terminal, standard output a file.
class TerminalRun {
 public:
  TerminalRun(const std::vector<std::string>& args,
              const std::vector<std::string>& environment) {
    std::vector<char*> argv{const_cast<char*>(QUILLFEN_CLIENT_PATH)};
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    int out =
        open(out_.PathOf("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    pid_ = forkpty(&terminal_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      dup2(out, STDOUT_FILENO);
      for (const std::string& entry : environment) {
        putenv(const_cast<char*>(entry.c_str()));
      }
      execv(QUILLFEN_CLIENT_PATH, argv.data());
      _exit(127);
    }
    close(out);
  }
  ~TerminalRun() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      Finish();
    }
    close(terminal_);
  }

  // Reads the screen until |done| holds or the terminal closes (it answers
  // EIO once the last of its users has gone).
  bool ReadUntil(const std::function<bool()>& done) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done() && open_ && std::chrono::steady_clock::now() < limit) {
      pollfd fd = {terminal_, POLLIN, 0};
      if (poll(&fd, 1, 100) <= 0) continue;
      char buffer[4096];
      ssize_t n = read(terminal_, buffer, sizeof buffer);
      if (n <= 0) open_ = false;
      if (n > 0) screen_.append(buffer, n);
    }
    return done();
  }
  // Reads to the end and answers the exit status.
  int Finish() {
    ReadUntil([] { return false; });
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 1000;
    return status_;
  }
  int terminal() const { return terminal_; }
  const std::string& screen() const { return screen_; }
  std::string out() const { return testing::FileContent(out_.PathOf("out")); }

 private:
  TempTree out_;
  pid_t pid_ = -1;
  int terminal_ = -1, status_ = -1;
  bool open_ = true;
  std::string screen_;
};

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
  // The files left in the folders, counted without a walk that a removal
  // under way could upset.
  auto left = [&] {
    long count = 0;
    for (int i = 0; i < 60; ++i) {
      count +=
          testing::EntryCount(volume_.PathOf("d" + std::to_string(100 + i)));
    }
    return static_cast<std::size_t>(count);
  };
  const std::size_t entries = left();
  TerminalRun run(
      {"--json", "-n", "(x)*a*a*a*a*a*c", "-e", "tmp", volume_.path()},
      {"DBUS_SESSION_BUS_ADDRESS=" + bus_.address(),
       "XDG_CONFIG_HOME=" + config_.path()});
  ASSERT_TRUE(run.ReadUntil([&] {
    return run.screen().find(" removed · ") != std::string::npos &&
           left() + 9 <= entries;
  })) << run.screen();
  ASSERT_GT(write(run.terminal(), "\x03", 1), 0);
  EXPECT_EQ(run.Finish(), 130) << run.screen();

  // The line moved, said what it counts, and was cleared at the end.
  EXPECT_NE(run.screen().find(" walked · "), std::string::npos);
  EXPECT_NE(run.screen().find(" entries/s"), std::string::npos);
  EXPECT_TRUE(run.screen().ends_with("\r\033[K")) << run.screen();
  // Standard output is exactly the stored reply, of a removal stopped
  // midway that names what is gone.
  std::optional<Value> stored = Stored("reply");
  ASSERT_TRUE(stored && stored->AsString());
  EXPECT_EQ(run.out(), *stored->AsString() + "\n");
  Dictionary reply = testing::DictionaryFromJson(run.out());
  std::size_t removed = testing::RemovedPaths(reply).size();
  EXPECT_EQ(removed, entries - left());
  EXPECT_GE(removed, 9u);
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
  ASSERT_TRUE(client.WaitFor(testing::kPatience)) << "the client hung";
  EXPECT_EQ(client.exit_status(), 130) << client.err();
  std::vector<std::string> lines = testing::LinesStartingWith(client.err(), "");
  ASSERT_EQ(lines.size(), 1u) << client.err();
  EXPECT_TRUE(lines[0].starts_with("quillfen-remove: ")) << lines[0];
  for (const std::string& word : words) {
    EXPECT_NE(lines[0].find(word), std::string::npos) << lines[0];
  }
  EXPECT_EQ(client.out(), "");
}

// A client whose turn is held by one that is suspended waits without end;
// a person must still be able to leave it, with the volume untouched.
TEST_F(QuillfenRemoveTest, ClientWaitingForItsTurnCanBeInterrupted) {
  MakeSampleVolume();
  const std::string turn_lock =
      SharedSuite::FolderFor(SharedSuiteName) + "/exchange.lock";
  std::unique_ptr<testing::Program> first = Start({"-a", volume_.path()});
  ASSERT_TRUE(testing::PollUntil(
      [&] { return LockIsHeld(turn_lock) || first->Ended(); },
      testing::kPatience));
  ASSERT_FALSE(first->Ended()) << first->err();
  ASSERT_EQ(kill(first->pid(), SIGSTOP), 0);

  TempTree other;
  other.MakeFile("._c");
  for (std::vector<int> signals :
       {std::vector{SIGINT, SIGINT}, std::vector{SIGTERM}}) {
    std::unique_ptr<testing::Program> second = Start({"-a", other.path()});
    // Waiting for the turn: its signals are caught by then.
    ASSERT_TRUE(testing::PollUntil(
        [&] { return HoldsOpen(second->pid(), turn_lock) || second->Ended(); },
        testing::kPatience));
    for (int signal : signals) ASSERT_EQ(kill(second->pid(), signal), 0);
    ExpectInterruptedInALine(*second,
                             {"nothing was asked of the removal service"});
    EXPECT_EQ(other.Listing(), std::vector<std::string>{"._c"});
  }

  ASSERT_EQ(kill(first->pid(), SIGCONT), 0);
  ASSERT_TRUE(first->WaitFor(60s)) << "the first client hung";
  EXPECT_EQ(first->exit_status(), 0) << first->err();
  EXPECT_EQ(first->out(), "Removed 2 items from " + volume_.path() + ".\n");
}

// A suspended service answers no stop request; the person's second Ctrl-C
// ends the client all the same, saying what it can't know.
TEST_F(QuillfenRemoveTest, SecondCtrlCEndsTheClientWhenTheServiceIsSuspended) {
  constexpr int kFolders = 100;
  testing::MakeManyFiles(volume_.path(), kFolders, 100, "");
  std::unique_ptr<testing::Program> client =
      Start({"-n", "d*", volume_.path()});
  ASSERT_TRUE(testing::PollUntil(
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

}  // namespace
}  // namespace quillfen
