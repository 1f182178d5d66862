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

#include "client/path_listing.h"
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
  // A volume slow to walk, and the request file that cleans it: its
  // wildcard entry can't settle the long names within its budget (options
  // are globs, which never backtrack).
  std::string MakeSlowVolume(TempTree& request) {
    for (int i = 0; i < 60; ++i) {
      for (std::string j : {"0", "1", "2"}) {
        std::string folder = "d" + std::to_string(100 + i) + "/";
        volume_.MakeFile(folder + "x" + std::string(240, 'a') + "_" + j);
        volume_.MakeFile(folder + "t" + j + ".tmp");
      }
    }
    request.MakeFile("r.json",
                     R"({"volumePath": ")" + volume_.path() +
                         R"(", "fileRemovalArray": ["(x)*a*a*a*a*a*c"], )"
                         R"("extensionsArray": ["tmp"]})");
    return request.PathOf("r.json");
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
}

// Whatever goes wrong, standard error has one line, after the program's
// name, and standard output nothing; the status tells a usage error or a
// request that can't start (2) from a partial removal (1).
TEST_F(QuillfenRemoveTest, EveryMessageIsOneLineAfterTheNameWithItsStatus) {
  volume_.MakeFile("a.tmp");
  volume_.MakeFile("file");
  const std::string missing = volume_.PathOf("missing");
  const std::string bad_json = volume_.PathOf("bad.json");
  std::ofstream(bad_json) << "{\"volumePath\": \"/x\",\n \"a\": [1,\n  2 3]}";
  const std::string snapshot = testing::TreeSnapshot(volume_.path());
  const struct {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{}, "no volume given"},
      {{"--bogus", volume_.path()}, "--bogus"},
      {{"-t", "0", "-a", volume_.path()}, "not a number of seconds above 0"},
      {{"-v", "-0", "-a", volume_.path()}, "--print0"},
      {{"--request", "-", volume_.path()}, "excludes"},
      {{"-e", "tmp", missing}, "The volume “" + missing + "” doesn’t exist."},
      {{"-e", "tmp", volume_.PathOf("file")}, "isn’t a folder"},
      {{"-e", "tmp", "/"}, "the root of the system"},
      {{"-e", "tmp", "-n", "*\xff", volume_.path()}, "can’t travel whole"},
      {{"--preview", "-n", "*\xff", volume_.path()}, "can’t travel whole"},
      {{"--request", bad_json},
       "the request file " + bad_json +
           " is not valid JSON (line 3, column 5)"},
      {{"--request", volume_.path()}, "Is a directory"},
  };
  for (const auto& [args, says] : cases) {
    ProgramRun run = Remove(args);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(testing::LinesStartingWith(run.err, "quillfen-remove: "),
              std::vector<std::string>{run.err.substr(0, run.err.size() - 1)});
    EXPECT_NE(run.err.find(says), npos) << run.err;
  }
  EXPECT_EQ(testing::TreeSnapshot(volume_.path()), snapshot);
  EXPECT_EQ(Remove({"-V"}).out,
            std::string("quillfen-remove ") + QUILLFEN_VERSION + "\n");
}

// The paths that went, for a person one to a line with control characters
// escaped, for a program each NUL-terminated and nothing else; the
// preview lists the same, and removes nothing. On a private bus, with find
// meeting folders the removal already took, nothing but the client's own lines
// shows; and the exchange changes its own keys only: another comes back as the
// very text it was.
TEST_F(QuillfenRemoveTest, VerboseAndPrint0ListWhatWentByteForByte) {
  const std::vector<std::string> files = {
      "._a",       "sub/._b",         "li\nne.tmp",
      "tab\t.tmp", "back\\slash.tmp", "cache.tmp/._c"};
  for (const std::string& name : files) volume_.MakeFile(name);
  volume_.MakeFile("photo.jpg");
  // A "._" item inside a selected folder is listed as well.
  std::vector<std::string> raw = {"._a",        "back\\slash.tmp",
                                  "cache.tmp",  "cache.tmp/._c",
                                  "li\nne.tmp", "sub/._b",
                                  "tab\t.tmp"},
                           shown = {"._a",         "back\\\\slash.tmp",
                                    "cache.tmp",   "cache.tmp/._c",
                                    "li\\nne.tmp", "sub/._b",
                                    "tab\\t.tmp"};
  for (auto* paths : {&raw, &shown}) {
    for (std::string& path : *paths) path = volume_.path() + "/" + path;
    std::sort(paths->begin(), paths->end());
  }
  // The terminated entries of |text|, sorted.
  auto entries = [](const std::string& text, char end) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(end, from)) != npos; from = at + 1) {
      lines.push_back(text.substr(from, at - from));
    }
    EXPECT_EQ(from, text.size()) << "an unterminated path";
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  auto with = [&](std::vector<std::string> front) {
    front.insert(front.end(), {"-a", "-e", "tmp", volume_.path()});
    return front;
  };
  const std::vector<std::string> no_session_bus = {"DBUS_SESSION_BUS_ADDRESS",
                                                   "XDG_RUNTIME_DIR"};

  ProgramRun preview = Remove(with({"--preview", "-0"}));
  EXPECT_EQ(preview.status, 0) << preview.err;
  EXPECT_EQ(entries(preview.out, '\0'), raw);
  ProgramRun verbose_preview = Remove(with({"--preview", "-v"}));
  const std::size_t summary = verbose_preview.out.rfind("Would");
  EXPECT_EQ(verbose_preview.out.substr(summary),
            "Would remove 7 items from " + volume_.path() + ".\n");
  EXPECT_EQ(entries(verbose_preview.out.substr(0, summary), '\n'), shown);
  EXPECT_EQ(volume_.Listing().size(), 9u);

  // The preview never started the tool.
  EXPECT_FALSE(Stored("toolVersion"));
  const std::string kept =
      R"("esc":"\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00\u0000")";
  const std::string domain = SharedSuite::FolderFor(SharedSuiteName);
  ASSERT_TRUE(SharedSuite::MakeFolder(domain).ok());
  std::ofstream(domain + "/preferences.json")
      << "{\"toolVersion\":\"0.0\", " << kept << ", \"reply\":\"stale\"}";
  ProgramRun removal = Remove(with({"-0"}), no_session_bus);
  EXPECT_EQ(removal.status, 0);
  EXPECT_EQ(removal.err, "");
  EXPECT_EQ(removal.out, preview.out);
  EXPECT_EQ(volume_.Listing(), (std::vector<std::string>{"photo.jpg", "sub/"}));
  EXPECT_NE(testing::FileContent(domain + "/preferences.json").find(kept),
            npos);

  for (const std::string& name : files) volume_.MakeFile(name);
  removal = Remove(with({"-v"}), no_session_bus);
  EXPECT_EQ(removal.status, 0);
  EXPECT_EQ(removal.err, "");
  EXPECT_EQ(removal.out, verbose_preview.out.substr(0, summary) +
                             "Removed 7 items from " + volume_.path() + ".\n");
}

// --timeout stops the removal as Ctrl-C does and waits for its reply: the
// summary says what went and what is left to do, the status is 124, and
// nothing more goes once the client has ended.
TEST_F(QuillfenRemoveTest, TimeoutStopsTheRemovalAndNothingGoesOnAfterExit) {
  TempTree request;
  const std::string request_file = MakeSlowVolume(request);
  const std::size_t entries = EntriesInFolders();
  ProgramRun run = Remove({"--timeout", "0.5", "-r", request_file});
  const std::string after_exit = testing::TreeSnapshot(volume_.path());
  EXPECT_EQ(run.status, 124) << run.err;
  EXPECT_EQ(run.err, "");
  std::size_t removed = entries - EntriesInFolders();
  EXPECT_LT(removed, 180u) << "the removal was not stopped";
  // Names the wildcard entry can't settle in time fail on their own.
  EXPECT_TRUE(run.out.starts_with(
      "The removal was stopped before it finished: " + std::to_string(removed) +
      " items removed from " + volume_.path() +
      ". Run the same command again to finish the job.\n"))
      << run.out.substr(0, 300);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(testing::TreeSnapshot(volume_.path()), after_exit);
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
       {volume_.PathOf("home/me/../me/"), volume_.PathOf("home")}) {
    ProgramRun run = Remove({"-e", "tmp", spelling}, home_env);
    EXPECT_EQ(run.status, 2) << spelling;
    EXPECT_TRUE(run.err.starts_with("quillfen-remove: " + spelling)) << run.err;
    EXPECT_NE(run.err.find("--force"), npos) << run.err;
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
        std::tuple{"exec sleep 60", "0.3",
                   "no reply within 0.3 s, and the removal service never "
                   "started"}}) {
    TempTree prefix;
    ProgramRun run = Remove({"--timeout", timeout, "-a", volume_.path()}, {},
                            InstallWithTool(prefix, script));
    EXPECT_EQ(run.status, timeout[0] == '0' ? 124 : 2);
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

// A stop is read as the stop, not as a failed item: neither its words
// under the volume nor a folder it left in part count as failures.
TEST(ReplySummaryTest, AStoppedRemovalSaysWhatWentAndWhatIsLeftToDo) {
  RemovalReply reply{
      {"volumePath", Value("/v")},
      {"pathArray", Value(Array{Value("/v/x")})},
      {"errorDict",
       Value(Dictionary{
           {"/v", Value("The removal was stopped before it finished; only the "
                        "items listed as removed are gone.")},
           {"/v/d", Value("“d” couldn’t be removed whole: 3 of the items in "
                          "it were removed before the removal was stopped; "
                          "the rest are still there.")}})}};
  EXPECT_EQ(SummarizeReply(reply),
            "The removal was stopped before it finished: 1 item removed from "
            "/v, and part of 1 folder. Run the same command again to finish "
            "the job.\n");
  EXPECT_EQ(ExitStatusFor(reply), kExitAllRemoved);
  // Nothing removed before the stop is still no refusal.
  reply["pathArray"] = Value(Array{});
  reply["errorDict"].AsDictionary()->erase("/v/d");
  EXPECT_TRUE(ReadReply(reply).stopped);
  EXPECT_FALSE(ReadReply(reply).not_started);
  // What else the volume's entry says is a failure of its own.
  (*reply["errorDict"].AsDictionary())["/v"] = Value(
      "1 item here whose name isn’t UTF-8 text was left in place. The "
      "removal was stopped before it finished; only the items listed as "
      "removed are gone.");
  ReplyReading reading = ReadReply(reply);
  ASSERT_EQ(reading.failures.size(), 1u);
  EXPECT_EQ(reading.failures[0].second,
            "1 item here whose name isn’t UTF-8 text was left in place.");
  EXPECT_TRUE(reading.stopped);
}

TEST(PathListingTest, ControlCharactersAreEscapedAndNothingElse) {
  EXPECT_EQ(
      EscapeControlCharacters("a\nb\tc\rd\\e\x01\x1b[31m\x7f"
                              "\xc2\x85\xc3\xa9 \xe2\x80\xa8"),
      "a\\nb\\tc\\rd\\\\e\\x01\\x1B[31m\\x7F\\u0085\xc3\xa9 \xe2\x80\xa8");
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

TEST_F(QuillfenRemoveTest, ProgressOnTheTerminalAndCtrlCStopsWithTheTruth) {
  TempTree out;
  const std::string request_file = MakeSlowVolume(out);
  const std::size_t entries = EntriesInFolders();
  auto [status, screen] =
      RunOnATerminal({"--json", "--request", request_file}, out.PathOf("out"),
                     [&](const std::string& shown) {
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
