#include "platform/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/landlock.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "testing/temp_tree.h"
#include "testing/test_bus.h"

namespace quillfen {
namespace {

using testing::TempTree;

// What went wrong in a child process, a line each; gtest's own checks
// would stay in the child.
class Problems {
 public:
  // |error| is what a call left: 0 when it worked, else its errno.
  void Expect(int wanted, int error, const char* what) {
    if (error != wanted) Fail(std::string(what) + ": " + Name(error));
  }
  void Fail(const std::string& what) { text_ += what + "\n"; }
  const std::string& text() const { return text_; }

 private:
  static std::string Name(int error) {
    return error == 0 ? "allowed" : std::strerror(error);
  }
  std::string text_;
};

int ErrorOf(long answer) { return answer < 0 ? errno : 0; }

int OpenError(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  close(fd);
  return 0;
}

int WriteFile(const std::string& path, const std::string& content) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  const ssize_t n = write(fd, content.data(), content.size());
  const int error = n < 0 ? errno : 0;
  close(fd);
  return error;
}

std::string ReadFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string("(") + std::strerror(errno) + ")";
  std::string content;
  char buffer[256];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, n);
  close(fd);
  return content;
}

std::set<std::string> NamesIn(const std::string& folder) {
  std::set<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) names.insert(entry->d_name);
  closedir(dir);
  return names;
}

// Ends every report, so a child that never got to report (one that
// replaced itself with another program, say) can't pass for a clean one.
constexpr char kReportEnd[] = "end of report\n";

// Runs |body| in a forked child and answers the problems it found:
// confinement lasts for a process's life, so each case needs a process of
// its own. Call from the test's only thread.
std::string InChild(const std::function<void(Problems&)>& body) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    close(fds[0]);
    Problems problems;
    body(problems);
    const std::string report = problems.text() + kReportEnd;
    const bool sent =
        write(fds[1], report.data(), report.size()) == ssize_t(report.size());
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  std::string report;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
    report.append(buffer, n);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      !report.ends_with(kReportEnd)) {
    return report + "child ended without its report, status " +
           std::to_string(status);
  }
  return report.substr(0, report.size() - std::strlen(kReportEnd));
}

bool Confined(Problems& problems, const std::string& folder) {
  if (ConfineToFolder(folder) == SandboxResult::kConfined) return true;
  problems.Fail("not confined to " + folder);
  return false;
}

class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (syscall(SYS_landlock_create_ruleset, nullptr, 0,
                LANDLOCK_CREATE_RULESET_VERSION) < 1) {
      GTEST_SKIP() << "this kernel has no Landlock";
    }
  }
};

TEST_F(SandboxTest, ConfinedProcessWorksBeneathItsFolder) {
  TempTree tree;
  tree.MakeFile("kept.txt", "kept");
  const auto in = [&](const char* relative) { return tree.PathOf(relative); };
  EXPECT_EQ(InChild([&](Problems& p) {
              if (!Confined(p, tree.path())) return;
              if (ReadFile(in("kept.txt")) != "kept") p.Fail("read kept.txt");
              p.Expect(0, WriteFile(in("new.txt"), "fresh"), "create");
              const int fd = open(in("new.txt").c_str(), O_RDWR | O_CLOEXEC);
              p.Expect(0, ErrorOf(fd), "open for writing");
              p.Expect(0, ErrorOf(flock(fd, LOCK_EX | LOCK_NB)), "flock");
              p.Expect(0, ErrorOf(ftruncate(fd, 3)), "ftruncate");
              close(fd);
              p.Expect(0, ErrorOf(mkdir(in("made").c_str(), 0755)), "mkdir");
              p.Expect(0,
                       ErrorOf(rename(in("new.txt").c_str(),
                                      in("made/new.txt").c_str())),
                       "move into a subfolder");
              p.Expect(0,
                       ErrorOf(rename(in("made/new.txt").c_str(),
                                      in("made/renamed.txt").c_str())),
                       "rename");
              if (NamesIn(tree.path()).count("made") == 0) p.Fail("listing");
              p.Expect(0, ErrorOf(unlink(in("kept.txt").c_str())), "unlink");
              p.Expect(0, ErrorOf(mkdir(in("empty").c_str(), 0755)), "mkdir");
              p.Expect(0, ErrorOf(rmdir(in("empty").c_str())), "rmdir");
            }),
            "");
  EXPECT_EQ(tree.Listing(),
            (std::vector<std::string>{"made/", "made/renamed.txt"}));
  EXPECT_EQ(ReadFile(tree.PathOf("made/renamed.txt")), "fre");
}

TEST_F(SandboxTest, ConfinedProcessReachesNothingElse) {
  TempTree tree, outside;
  tree.MakeFile("mine.txt", "mine");
  // Statically linked, so that only the folder's own rule could allow it.
  const std::string program = tree.PathOf("ldconfig");
  std::filesystem::copy_file("/sbin/ldconfig", program);
  outside.MakeFile("secret.txt", "secret");
  outside.MakeFile("dir/file");
  const auto out = [&](const char* relative) {
    return outside.PathOf(relative);
  };
  EXPECT_EQ(
      InChild([&](Problems& p) {
        p.Expect(0, ErrorOf(access(program.c_str(), X_OK)), "runnable copy");
        if (!Confined(p, tree.path())) return;
        p.Expect(EACCES, OpenError(out("secret.txt"), O_RDONLY), "read");
        p.Expect(EACCES, OpenError("/etc/passwd", O_RDONLY), "/etc/passwd");
        p.Expect(EACCES, OpenError(out("secret.txt"), O_WRONLY), "write");
        p.Expect(EACCES, OpenError(out("new.txt"), O_WRONLY | O_CREAT),
                 "create");
        p.Expect(EACCES, OpenError(out("dir"), O_RDONLY | O_DIRECTORY), "list");
        p.Expect(EACCES, ErrorOf(truncate(out("secret.txt").c_str(), 0)),
                 "truncate");
        p.Expect(EACCES, ErrorOf(unlink(out("secret.txt").c_str())), "unlink");
        p.Expect(EACCES, ErrorOf(mkdir(out("made").c_str(), 0755)), "mkdir");
        p.Expect(EACCES,
                 ErrorOf(rename(tree.PathOf("mine.txt").c_str(),
                                out("mine.txt").c_str())),
                 "move out of the folder");
        execl("/bin/true", "true", static_cast<char*>(nullptr));
        p.Expect(EACCES, errno, "exec");
        execl(program.c_str(), "ldconfig", "--version",
              static_cast<char*>(nullptr));
        p.Expect(EACCES, errno, "exec in the folder");
        // The confinement passes to children.
        const pid_t pid = fork();
        if (pid == 0) _exit(OpenError("/etc/passwd", O_RDONLY) == EACCES);
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 1) {
          p.Fail("a child read /etc/passwd");
        }
      }),
      "");
  EXPECT_EQ(outside.Listing(),
            (std::vector<std::string>{"dir/", "dir/file", "secret.txt"}));
  EXPECT_EQ(ReadFile(out("secret.txt")), "secret");
  EXPECT_EQ(tree.Listing(), (std::vector<std::string>{"ldconfig", "mine.txt"}));
}

TEST_F(SandboxTest, ConfinedProcessStillUsesItsBus) {
  TempTree tree, no_services;
  testing::TestBus bus(no_services.path());
  const std::string address = bus.address();
  // Some buses listen on abstract sockets; the tool must reach those too.
  const int abstract = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un name{};
  name.sun_family = AF_UNIX;
  const std::string tag = "quillfen-sandbox-" + std::to_string(getpid());
  tag.copy(name.sun_path + 1, tag.size());
  const auto name_size =
      socklen_t(offsetof(sockaddr_un, sun_path) + 1 + tag.size());
  ASSERT_EQ(bind(abstract, reinterpret_cast<sockaddr*>(&name), name_size), 0);
  ASSERT_EQ(listen(abstract, 1), 0);
  EXPECT_EQ(
      InChild([&](Problems& p) {
        if (!Confined(p, tree.path())) return;
        const int peer = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        p.Expect(0,
                 ErrorOf(connect(peer, reinterpret_cast<sockaddr*>(&name),
                                 name_size)),
                 "connect to an abstract socket");
        close(peer);
        try {
          auto caller = sdbus::createSessionBusConnectionWithAddress(address);
          std::string id;
          sdbus::createProxy(*caller, "org.freedesktop.DBus",
                             "/org/freedesktop/DBus")
              ->callMethod("GetId")
              .onInterface("org.freedesktop.DBus")
              .storeResultsTo(id);
          if (id.size() != 32) p.Fail("GetId answered \"" + id + "\"");

          // A second connection hears the signal through the daemon.
          const char* kPath = "/org/quillfen/SandboxTest";
          const char* kInterface = "org.quillfen.SandboxTest";
          auto listener = sdbus::createSessionBusConnectionWithAddress(address);
          auto source =
              sdbus::createProxy(*listener, caller->getUniqueName(), kPath);
          std::string heard;
          source->uponSignal("Said")
              .onInterface(kInterface)
              .call([&](const std::string& text) { heard = text; });
          source->finishRegistration();
          auto object = sdbus::createObject(*caller, kPath);
          object->registerSignal("Said")
              .onInterface(kInterface)
              .withParameters<std::string>();
          object->finishRegistration();
          object->emitSignal("Said")
              .onInterface(kInterface)
              .withArguments(std::string("hello"));

          const auto deadline =
              std::chrono::steady_clock::now() + std::chrono::seconds(10);
          while (heard.empty() && std::chrono::steady_clock::now() < deadline) {
            if (listener->processPendingRequest()) continue;
            const auto wait = listener->getEventLoopPollData();
            pollfd ready{wait.fd, wait.events, 0};
            poll(&ready, 1, 100);
          }
          if (heard != "hello") p.Fail("heard \"" + heard + "\"");
        } catch (const sdbus::Error& e) {
          p.Fail(std::string("bus: ") + e.what());
        }
      }),
      "");
  close(abstract);
}

// Without root, Landlock takes a process only once it gave up gaining
// privileges.
TEST_F(SandboxTest, UnprivilegedProcessIsConfinedToo) {
  TempTree tree;
  chmod(tree.path().c_str(), 0777);
  EXPECT_EQ(testing::RunUnprivileged([&] {
              Problems p;
              if (!Confined(p, tree.path())) return p.text();
              p.Expect(0, WriteFile(tree.PathOf("mine.txt"), "x"), "create");
              p.Expect(EACCES, OpenError("/etc/passwd", O_RDONLY),
                       "/etc/passwd");
              return p.text();
            }),
            "");
  EXPECT_TRUE(tree.Exists("mine.txt"));
}

TEST_F(SandboxTest, FailureLeavesProcessUnconfinedAndSaysSoOnce) {
  TempTree tree;
  const std::string missing = tree.PathOf("missing");
  EXPECT_EQ(InChild([&](Problems& p) {
              int err[2];
              if (pipe(err) != 0 || dup2(err[1], STDERR_FILENO) < 0) {
                p.Fail("no pipe for stderr");
                return;
              }
              close(err[1]);
              const SandboxResult first = ConfineToFolder(missing);
              const SandboxResult second = ConfineToFolder(missing);
              close(STDERR_FILENO);
              std::string said;
              char buffer[1024];
              ssize_t n;
              while ((n = read(err[0], buffer, sizeof buffer)) > 0) {
                said.append(buffer, n);
              }
              if (first != SandboxResult::kFailed ||
                  second != SandboxResult::kFailed) {
                p.Fail("confining to a missing folder did not fail");
              }
              if (!said.starts_with("QuillfenRemovalTool: ") ||
                  !said.ends_with("; running unconfined.\n") ||
                  said.find(missing) == std::string::npos ||
                  std::count(said.begin(), said.end(), '\n') != 1) {
                p.Fail("said \"" + said + "\"");
              }
              p.Expect(0, OpenError("/etc/passwd", O_RDONLY), "/etc/passwd");
              p.Expect(0, WriteFile(tree.PathOf("after.txt"), "x"), "write");
            }),
            "");
}

}  // namespace
}  // namespace quillfen
