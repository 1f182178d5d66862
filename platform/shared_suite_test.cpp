#include "platform/shared_suite.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "protocol/identifiers.h"
#include "protocol/json_form.h"
#include "testing/temp_tree.h"

namespace quillfen {
namespace {

using ::quillfen::testing::RunUnprivileged;
using ::quillfen::testing::TempTree;
using Json = nlohmann::json;

const std::string kName(SharedSuiteName);

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Points the config folder into a fresh tree; the environment is put back
// for the other tests of the process.
class SharedSuiteTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("XDG_CONFIG_HOME", tree_.path().c_str(), 1); }
  void TearDown() override {
    Restore("XDG_CONFIG_HOME", xdg_);
    Restore("HOME", home_);
  }
  static std::string Saved(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(1, '=') + value : "";
  }
  static void Restore(const char* name, const std::string& saved) {
    saved.empty() ? unsetenv(name) : setenv(name, saved.c_str() + 1, 1);
  }
  std::string FilePath() const {
    return tree_.PathOf(kName + "/preferences.json");
  }
  Json FileJson() const { return Json::parse(ReadText(FilePath())); }
  // The contents of every moved-aside copy, sorted.
  std::vector<std::string> CorruptCopies() const {
    std::vector<std::string> copies;
    for (const std::string& item : tree_.Listing()) {
      if (item.find("preferences.json.corrupt-") != std::string::npos) {
        copies.push_back(ReadText(tree_.PathOf(item)));
      }
    }
    std::sort(copies.begin(), copies.end());
    return copies;
  }

  const std::string xdg_ = Saved("XDG_CONFIG_HOME");
  const std::string home_ = Saved("HOME");
  TempTree tree_;
};

TEST_F(SharedSuiteTest, PendingChangesAreVisibleToOthersOnlyOnceFlushed) {
  SharedSuite writer(SharedSuiteName);
  SharedSuite reader(SharedSuiteName);
  EXPECT_EQ(writer.folder(), tree_.PathOf(kName));
  writer.setObject(Value("hello"), "message");
  writer.setObject(Value(Dictionary{{"n", Value(3)}}), "toolVersion");
  EXPECT_EQ(writer.objectForKey("message"), Value("hello"));
  EXPECT_FALSE(reader.objectForKey("message"));
  ASSERT_TRUE(writer.synchronize()) << writer.lastError();
  EXPECT_EQ(reader.objectForKey("toolVersion"),
            Value(Dictionary{{"n", Value(3)}}));
  EXPECT_EQ(FileJson(),
            Json::parse(R"({"message":"hello","toolVersion":{"n":3}})"));
  struct stat folder {
  }, file{};
  ASSERT_EQ(stat(writer.folder().c_str(), &folder), 0);
  ASSERT_EQ(stat(FilePath().c_str(), &file), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  EXPECT_EQ(file.st_mode & 0777, 0600u);

  // Both ways of removing hide the flushed value from the writer at once.
  writer.removeObjectForKey("message");
  writer.setObject(std::nullopt, "toolVersion");
  EXPECT_FALSE(writer.objectForKey("message"));
  EXPECT_FALSE(writer.objectForKey("toolVersion"));
  EXPECT_EQ(reader.objectForKey("message"), Value("hello"));
  ASSERT_TRUE(writer.synchronize());
  EXPECT_FALSE(reader.objectForKey("message"));

  // Flushed removals are no longer pending: the writer's next flush must
  // not undo what another object wrote since.
  reader.setObject(Value("again"), "message");
  ASSERT_TRUE(reader.synchronize());
  ASSERT_TRUE(writer.synchronize());
  EXPECT_EQ(FileJson(), Json::parse(R"({"message":"again"})"));
}

TEST_F(SharedSuiteTest, KeysThisSystemDoesNotKnowSurviveAFlush) {
  const std::string original = R"({"unknown": null,
    "nested": {"a": [1, 2.5, {"b": null}], "c": "\u00e9t\u00e9"},
    "plain": {"x": -7, "y": [true, "s"]},
    "huge": 18446744073709551615, "message": "old"})";
  tree_.MakeFile(kName + "/preferences.json", original);
  SharedSuite suite(SharedSuiteName);
  // A null anywhere inside leaves a value without property-list form.
  EXPECT_FALSE(suite.objectForKey("unknown"));
  EXPECT_FALSE(suite.objectForKey("nested"));
  EXPECT_EQ(suite.objectForKey("plain"),
            Value(Dictionary{{"x", Value(-7)},
                             {"y", Value(Array{Value(true), Value("s")})}}));
  suite.removeObjectForKey("message");
  suite.setObject(Value("r"), "reply");
  ASSERT_TRUE(suite.synchronize()) << suite.lastError();
  Json expected = Json::parse(original);
  expected.erase("message");
  expected["reply"] = "r";
  EXPECT_EQ(FileJson(), expected);
  EXPECT_TRUE(CorruptCopies().empty());
}

TEST_F(SharedSuiteTest, UnreadableFileReadsEmptyAndIsMovedAsideNotLost) {
  // Flushed within the same second: each copy still needs its own name.
  std::vector<std::string> kept;
  for (std::string bad : {"not json {", R"(["message", "an array"])",
                          "{\"message\": \"\xff\"}"}) {
    tree_.MakeFile(kName + "/preferences.json", bad);
    SharedSuite suite(SharedSuiteName);
    EXPECT_FALSE(suite.objectForKey("message")) << bad;
    suite.setObject(Value("fresh"), "reply");
    ASSERT_TRUE(suite.synchronize()) << suite.lastError();
    EXPECT_EQ(FileJson(), Json::parse(R"({"reply":"fresh"})"));
    kept.push_back(bad);
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(CorruptCopies(), kept);
  }
}

TEST_F(SharedSuiteTest, FileTooDeepToWriteBackIsMovedAsideNotACrash) {
  auto nested = [](int depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  // A flush writes every key back; this one would overflow the stack.
  const std::string deep = R"({"message":"m","k":)" + nested(1000000) + "}";
  tree_.MakeFile(kName + "/preferences.json", deep);
  SharedSuite suite(SharedSuiteName);
  EXPECT_FALSE(suite.objectForKey("message"));
  suite.setObject(Value("fresh"), "reply");
  ASSERT_TRUE(suite.synchronize()) << suite.lastError();
  EXPECT_EQ(FileJson(), Json::parse(R"({"reply":"fresh"})"));
  std::vector<std::string> copies = CorruptCopies();
  EXPECT_TRUE(copies.size() == 1 && copies[0] == deep);

  // As deep as a value may be, the file is read and kept as it was.
  const std::string deepest =
      R"({"message":"m","k":)" + nested(kMaxJsonNesting - 1) + "}";
  tree_.MakeFile(kName + "/preferences.json", deepest);
  SharedSuite again(SharedSuiteName);
  EXPECT_EQ(again.objectForKey("message"), Value("m"));
  EXPECT_TRUE(again.objectForKey("k"));
  again.setObject(Value("fresh"), "reply");
  ASSERT_TRUE(again.synchronize()) << again.lastError();
  Json expected = Json::parse(deepest);
  expected["reply"] = "fresh";
  EXPECT_EQ(FileJson(), expected);
  EXPECT_EQ(CorruptCopies().size(), 1u);
}

TEST_F(SharedSuiteTest, TwoProcessesFlushingTheirOwnKeysLoseNothing) {
  constexpr int kRounds = 200;
  auto flush_keys = [](const std::string& prefix) {
    SharedSuite suite(SharedSuiteName);
    bool all = true;
    for (int i = 0; i < kRounds; ++i) {
      suite.setObject(Value(i), prefix + std::to_string(i));
      all = suite.synchronize() && all;
    }
    return all;
  };
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(flush_keys("child-") ? 0 : 1);
  EXPECT_TRUE(flush_keys("parent-"));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  Json expected = Json::object();
  for (int i = 0; i < kRounds; ++i) {
    expected["child-" + std::to_string(i)] = i;
    expected["parent-" + std::to_string(i)] = i;
  }
  EXPECT_EQ(FileJson(), expected);
}

TEST_F(SharedSuiteTest, FailedFlushKeepsPendingChangesAndTheFile) {
  // A regular file where a parent folder should be.
  tree_.MakeFile("blocker", "x");
  setenv("XDG_CONFIG_HOME", tree_.PathOf("blocker").c_str(), 1);
  SharedSuite blocked(SharedSuiteName);
  blocked.setObject(Value("kept"), "message");
  EXPECT_FALSE(blocked.synchronize());
  const std::string error = blocked.lastError();
  EXPECT_NE(error.find(blocked.folder() + "/preferences.json"),
            std::string::npos)
      << error;
  EXPECT_NE(error.find("Not a directory"), std::string::npos) << error;
  ASSERT_EQ(unlink(tree_.PathOf("blocker").c_str()), 0);
  ASSERT_TRUE(blocked.synchronize()) << blocked.lastError();
  EXPECT_EQ(SharedSuite(SharedSuiteName).objectForKey("message"),
            Value("kept"));

  // A folder the user can't write to, then a write cut short as on a full
  // disk: neither may touch the file or leave a temporary one behind.
  setenv("XDG_CONFIG_HOME", tree_.path().c_str(), 1);
  SharedSuite owner(SharedSuiteName);
  owner.setObject(Value("before"), "message");
  ASSERT_TRUE(owner.synchronize()) << owner.lastError();
  const std::string before = ReadText(FilePath());
  chmod(FilePath().c_str(), 0644);
  chmod(tree_.PathOf(kName + "/preferences.lock").c_str(), 0666);
  const std::vector<std::string> listing = tree_.Listing();
  for (auto [mode, file_size, cause] :
       {std::tuple{0555, RLIM_INFINITY, "Permission denied"},
        std::tuple{0777, rlim_t{8}, "File too large"}}) {
    chmod(tree_.PathOf(kName).c_str(), mode);
    std::string outcome = RunUnprivileged([file_size = file_size] {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{file_size, file_size};
      setrlimit(RLIMIT_FSIZE, &limit);
      SharedSuite suite(SharedSuiteName);
      suite.setObject(Value(std::string(4096, 'x')), "message");
      if (suite.synchronize()) return std::string("flushed");
      std::optional<Value> pending = suite.objectForKey("message");
      return suite.lastError() + (pending ? " (kept)" : " (lost)");
    });
    EXPECT_NE(outcome.find(FilePath()), std::string::npos) << outcome;
    EXPECT_NE(outcome.find(std::string(cause) + ". (kept)"), std::string::npos)
        << outcome;
    EXPECT_EQ(ReadText(FilePath()), before);
    EXPECT_EQ(tree_.Listing(), listing);
  }
}

TEST_F(SharedSuiteTest, FolderFallsBackToHomeConfigWithoutAUsableXdgPath) {
  setenv("HOME", tree_.PathOf("home").c_str(), 1);
  const std::string fallback = tree_.PathOf("home/.config/" + kName);
  for (const char* xdg : {"", "relative/config"}) {
    setenv("XDG_CONFIG_HOME", xdg, 1);
    EXPECT_EQ(SharedSuite::FolderFor(SharedSuiteName), fallback) << xdg;
  }
  unsetenv("XDG_CONFIG_HOME");
  SharedSuite suite(SharedSuiteName);
  EXPECT_EQ(suite.folder(), fallback);
  ASSERT_TRUE(suite.synchronize()) << suite.lastError();
  EXPECT_TRUE(tree_.Exists("home/.config/" + kName + "/preferences.json"));
}

}  // namespace
}  // namespace quillfen
