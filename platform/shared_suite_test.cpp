#include "platform/shared_suite.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "protocol/identifiers.h"
#include "protocol/json_form.h"
#include "testing/temp_tree.h"

namespace quillfen {
namespace {

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
  // The last one would overflow the stack when written back.
  const std::string too_deep = R"({"message":"m","k":)" +
                               std::string(1000000, '[') +
                               std::string(1000000, ']') + "}";
  for (std::string bad :
       {std::string("not json {"), std::string(R"(["message", "an array"])"),
        std::string("{\"message\": \"\xff\"}"), too_deep}) {
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

TEST_F(SharedSuiteTest, FailedFlushKeepsPendingChangesForTheNextOne) {
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
