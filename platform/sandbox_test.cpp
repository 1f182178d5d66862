// Confinement lasts for a process's life, so every case runs in a forked
// child, which reports what it saw.
#include "platform/sandbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/landlock.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/error_text.h"
#include "testing/program.h"
#include "testing/temp_tree.h"
#include "testing/test_bus.h"

namespace quillfen {
namespace {

using testing::TempTree;

// What a call left: "ok", or its error.
std::string Outcome(long answer) {
  return answer < 0 ? SystemErrorText(errno) : "ok";
}

std::string Opened(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
  return Outcome(fd);
}

bool KernelHasLandlock() {
  return syscall(SYS_landlock_create_ruleset, nullptr, 0,
                 LANDLOCK_CREATE_RULESET_VERSION) >= 1;
}

TEST(SandboxTest, ConfinedProcessWorksInItsFolderAndNowhereElse) {
  if (!KernelHasLandlock()) GTEST_SKIP() << "this kernel has no Landlock";
  TempTree mine, outside, no_services;
  outside.MakeFile("secret.txt", "secret");
  testing::TestBus bus(no_services.path());
  std::string report = testing::RunInChild([&] {
    if (ConfineToFolder(mine.path()) != SandboxResult::kConfined)
      return std::string("unconfined");
    std::string r;
    // Everything the shared domain needs, beneath its folder.
    int fd = open(mine.PathOf("p.json.tmp").c_str(),
                  O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    r += Outcome(fd) + " " + Outcome(write(fd, "{}", 2)) + " " +
         Outcome(fsync(fd)) + " " + Outcome(flock(fd, LOCK_EX)) + " " +
         Outcome(ftruncate(fd, 1));
    close(fd);
    r += " " + Outcome(rename(mine.PathOf("p.json.tmp").c_str(),
                              mine.PathOf("p.json").c_str()));
    r += " " + Opened(mine.PathOf("p.json"), O_RDONLY);
    r += " " + Outcome(unlink(mine.PathOf("p.json").c_str())) + "\n";
    // Nothing else: reading, writing, listing elsewhere, running programs.
    r += Opened(outside.PathOf("secret.txt"), O_RDONLY) + " " +
         Opened(outside.PathOf("new.txt"), O_WRONLY | O_CREAT) + " " +
         Opened(outside.path(), O_RDONLY | O_DIRECTORY) + " " +
         Outcome(execl("/bin/true", "true", nullptr)) + "\n";
    // The bus, reached by its socket's path, still works.
    try {
      auto connection =
          sdbus::createSessionBusConnectionWithAddress(bus.address());
      std::string id;
      sdbus::createProxy(*connection, "org.freedesktop.DBus",
                         "/org/freedesktop/DBus")
          ->callMethod("GetId")
          .onInterface("org.freedesktop.DBus")
          .storeResultsTo(id);
      r += id.empty() ? "no id" : "bus ok";
    } catch (const sdbus::Error& e) {
      r += e.getMessage();
    }
    return r;
  });
  std::string denied = SystemErrorText(EACCES);
  EXPECT_EQ(report, "ok ok ok ok ok ok ok ok\n" + denied + " " + denied + " " +
                        denied + " " + denied + "\nbus ok");
  EXPECT_EQ(outside.Listing(), std::vector<std::string>{"secret.txt"});
}

TEST(SandboxTest, FailureLeavesTheProcessUnconfinedAndSaysSoOnce) {
  TempTree somewhere;
  somewhere.MakeFile("readable.txt");
  std::string report = testing::RunInChild([&] {
    int saved = dup(STDERR_FILENO);
    int log = open(somewhere.PathOf("log").c_str(),
                   O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    dup2(log, STDERR_FILENO);
    SandboxResult first = ConfineToFolder("/nonexistent/folder");
    SandboxResult second = ConfineToFolder("/nonexistent/folder");
    dup2(saved, STDERR_FILENO);
    return std::to_string(first != SandboxResult::kConfined) +
           std::to_string(second != SandboxResult::kConfined) + " " +
           Opened(somewhere.PathOf("readable.txt"), O_RDONLY);
  });
  EXPECT_EQ(report, "11 ok");
  std::string log = testing::FileContent(somewhere.PathOf("log"));
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find("unconfined"), std::string::npos) << log;
}

}  // namespace
}  // namespace quillfen
