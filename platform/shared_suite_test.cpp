#include "platform/shared_suite.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "protocol/identifiers.h"
#include "testing/program.h"
#include "testing/temp_tree.h"

namespace quillfen {
namespace {

using ::quillfen::testing::TempTree;
using Json = nlohmann::json;

const std::string kName(SharedSuiteName);

// Points the config folder into a fresh tree.
class SharedSuiteTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("XDG_CONFIG_HOME", tree_.path().c_str(), 1); }
  void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }
  std::string FilePath() const {
    return tree_.PathOf(kName + "/preferences.json");
  }
  Json FileJson() const {
    return Json::parse(testing::FileContent(FilePath()));
  }
  // The contents of every moved-aside copy, sorted.
  std::vector<std::string> CorruptCopies() const {
    std::vector<std::string> copies;
    for (const std::string& item : tree_.Listing()) {
      if (item.find("preferences.json.corrupt-") != std::string::npos) {
        copies.push_back(testing::FileContent(tree_.PathOf(item)));
      }
    }
    std::sort(copies.begin(), copies.end());
    return copies;
  }

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

  // A removal hides the flushed value from the writer at once.
  writer.removeObjectForKey("message");
  EXPECT_FALSE(writer.objectForKey("message"));
  EXPECT_EQ(reader.objectForKey("message"), Value("hello"));
  ASSERT_TRUE(writer.synchronize());
  EXPECT_FALSE(reader.objectForKey("message"));

  // Flushed removals are no longer pending: the writer's next flush must
  // not undo what another object wrote since.
  reader.setObject(Value("again"), "message");
  ASSERT_TRUE(reader.synchronize());
  ASSERT_TRUE(writer.synchronize());
  EXPECT_EQ(FileJson(),
            Json::parse(R"({"message":"again","toolVersion":{"n":3}})"));
}

TEST_F(SharedSuiteTest, KeysThisSystemDoesNotChangeAreWrittenBackByteForByte) {
  // Past every number type, escaped and not, nested with white space, a
  // repeated key, and a value nested far deeper than any value is read.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::vector<std::string> kept = {
      R"("big":12345678901234567890123)",
      R"("long":0.1000000000000000055511151231257827021181583404541015625)",
      R"("esc\u0061ped":"\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00\u0000")",
      R"("nested":{ "a" : [1, 2.50, {"b": null}], "c" :{} })",
      R"("dup":1)",
      R"("dup":2)",
      "\"deep\":" + deep};
  std::string original = "\n{ \"message\" : \"old\" ,";
  for (const std::string& member : kept) original += "\t" + member + " ,\n";
  original += "\"message\":\"older\"}\n";
  tree_.MakeFile(kName + "/preferences.json", original);

  SharedSuite suite(SharedSuiteName);
  // Values without a property-list form read as absent.
  EXPECT_FALSE(suite.objectForKey("deep"));
  EXPECT_EQ(suite.objectForKey("dup"), Value(2));
  EXPECT_EQ(suite.objectForKey("message"), Value("older"));

  std::optional<SharedSuite::Taken> taken = suite.takeObjectForKey("message");
  ASSERT_TRUE(taken && taken->found) << suite.lastError();
  EXPECT_EQ(taken->value, Value("older"));
  suite.setObject(Value("r"), "reply");
  ASSERT_TRUE(suite.synchronize()) << suite.lastError();
  std::string expected = "{";
  for (const std::string& member : kept) expected += member + ",";
  EXPECT_EQ(testing::FileContent(FilePath()), expected + R"("reply":"r"})");
  EXPECT_TRUE(CorruptCopies().empty());
  // Taken once: both of its members went.
  taken = suite.takeObjectForKey("message");
  ASSERT_TRUE(taken);
  EXPECT_FALSE(taken->found);
}

TEST_F(SharedSuiteTest, UnreadableFileReadsEmptyAndIsMovedAsideNotLost) {
  // Flushed within the same second: each copy still needs its own name.
  std::vector<std::string> kept;
  for (std::string bad : {"not json {", R"(["message", "an array"])",
                          "{\"message\": \"\xff\"}", ""}) {
    tree_.MakeFile(kName + "/preferences.json", bad);
    SharedSuite suite(SharedSuiteName);
    EXPECT_FALSE(suite.objectForKey("message")) << bad;
    suite.setObject(Value("fresh"), "reply");
    ASSERT_TRUE(suite.synchronize()) << suite.lastError();
    EXPECT_EQ(testing::FileContent(FilePath()), R"({"reply":"fresh"})");
    kept.push_back(bad);
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(CorruptCopies(), kept);
  }
}

// A link to a file elsewhere in place of the lock, a dangling one in place
// of the file: each is refused, and nothing changes anywhere.
TEST_F(SharedSuiteTest, LinksInPlaceOfTheLockOrTheFileAreRefused) {
  tree_.MakeFile("outside/target", "not the domain's");
  for (const auto& [name, target] :
       {std::pair{"preferences.lock", "outside/target"},
        std::pair{"preferences.json", "outside/nothing"}}) {
    SCOPED_TRACE(name);
    for (const char* file : {"preferences.lock", "preferences.json"}) {
      unlink(tree_.PathOf(kName + "/" + file).c_str());
      tree_.MakeFile(kName + "/" + file, R"({"message":"m"})");
    }
    const std::string link = kName + "/" + name;
    ASSERT_EQ(unlink(tree_.PathOf(link).c_str()), 0);
    tree_.MakeSymlink(link, tree_.PathOf(target));
    const std::string before = testing::TreeSnapshot(tree_.path());

    SharedSuite suite(SharedSuiteName);
    suite.setObject(Value("r"), "reply");
    EXPECT_FALSE(suite.synchronize());
    EXPECT_NE(suite.lastError().find(" is a symbolic link"), std::string::npos)
        << suite.lastError();
    EXPECT_FALSE(suite.takeObjectForKey("message"));
    EXPECT_EQ(testing::TreeSnapshot(tree_.path()), before);
  }
}

TEST_F(SharedSuiteTest, OfManyProcessesTakingOneKeyOneGetsIt) {
  constexpr int kTakers = 8;
  tree_.MakeFile(kName + "/preferences.json",
                 R"({"message":"request","other":1.50})");
  // A flush killed half-way left the first behind; the others are not its
  // kind.
  const std::string stray = kName + "/preferences.json.";
  for (const char* name : {"tmp-Ab12Cd", "tmp-Ab12C", "corrupt-20260101-0"}) {
    tree_.MakeFile(stray + name, "{\"half");
  }
  std::vector<pid_t> children;
  for (int i = 0; i < kTakers; ++i) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::optional<SharedSuite::Taken> taken =
          SharedSuite(SharedSuiteName).takeObjectForKey("message");
      _exit(!taken ? 2 : taken->found && taken->value == Value("request"));
    }
    children.push_back(child);
  }
  int found = 0;
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) < 2) << status;
    found += WEXITSTATUS(status);
  }
  EXPECT_EQ(found, 1);
  EXPECT_EQ(testing::FileContent(FilePath()), R"({"other":1.50})");
  EXPECT_FALSE(tree_.Exists(stray + "tmp-Ab12Cd"));
  EXPECT_TRUE(tree_.Exists(stray + "tmp-Ab12C"));
  EXPECT_TRUE(tree_.Exists(stray + "corrupt-20260101-0"));
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
  EXPECT_NE(blocked.lastError().find(blocked.folder()), std::string::npos)
      << blocked.lastError();
  ASSERT_EQ(unlink(tree_.PathOf("blocker").c_str()), 0);
  ASSERT_TRUE(blocked.synchronize()) << blocked.lastError();
  EXPECT_EQ(SharedSuite(SharedSuiteName).objectForKey("message"),
            Value("kept"));
}

TEST_F(SharedSuiteTest, FolderFallsBackToHomeConfigWithoutAUsableXdgPath) {
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  setenv("HOME", tree_.PathOf("home").c_str(), 1);
  setenv("XDG_CONFIG_HOME", "relative/config", 1);
  SharedSuite suite(SharedSuiteName);
  EXPECT_EQ(suite.folder(), tree_.PathOf("home/.config/" + kName));
  EXPECT_TRUE(suite.synchronize()) << suite.lastError();
  setenv("HOME", home.c_str(), 1);
}

}  // namespace
}  // namespace quillfen
