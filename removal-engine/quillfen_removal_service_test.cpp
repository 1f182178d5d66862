#include "removal-engine/quillfen_removal_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>

#include "protocol/bus_string.h"
#include "protocol/json_form.h"
#include "protocol/removal_keys.h"
#include "testing/temp_tree.h"

namespace quillfen {
namespace {

using ::quillfen::testing::TempTree;
using namespace std::string_literals;
using Strings = std::vector<std::string>;
using PathSet = std::set<std::string>;

Value Names(std::initializer_list<const char*> names) {
  Array array;
  for (const char* name : names) array.emplace_back(name);
  return Value(std::move(array));
}

// Runs one request and answers every reply it gave.
std::vector<RemovalReply> Serve(const RemovalRequest& request) {
  std::vector<RemovalReply> replies;
  QuillfenRemovalService().removeWithFileDict(
      request, [&](RemovalReply r) { replies.push_back(std::move(r)); });
  return replies;
}

// Checks that the reply came exactly once, whole, and answers it.
RemovalReply OneWholeReply(std::vector<RemovalReply> replies) {
  EXPECT_EQ(replies.size(), 1u);
  if (replies.empty()) return {};
  RemovalReply& reply = replies.front();
  EXPECT_EQ(reply.size(), 4u);
  for (std::string_view key :
       {kShowReadMeKey, kVolumePathKey, kPathArrayKey, kErrorDictKey}) {
    EXPECT_TRUE(Find(reply, key)) << key;
  }
  return std::move(reply);
}

RemovalReply RunRequest(const RemovalRequest& request) {
  return OneWholeReply(Serve(request));
}

// The accessors below answer nothing for a reply that isn't whole, which
// OneWholeReply has already failed.
PathSet Removed(const RemovalReply& reply) {
  const Value* array = Find(reply, kPathArrayKey);
  if (array == nullptr || array->AsArray() == nullptr) return {};
  PathSet paths;
  for (const Value& path : *array->AsArray()) {
    if (const std::string* text = path.AsString()) paths.insert(*text);
  }
  // Reported once each.
  EXPECT_EQ(paths.size(), array->AsArray()->size());
  return paths;
}

Dictionary Errors(const RemovalReply& reply) {
  const Value* errors = Find(reply, kErrorDictKey);
  if (errors == nullptr || errors->AsDictionary() == nullptr) return {};
  return *errors->AsDictionary();
}

bool ShowReadMe(const RemovalReply& reply) {
  const Value* flag = Find(reply, kShowReadMeKey);
  return flag != nullptr && flag->AsBoolean() && *flag->AsBoolean();
}

class RemovalServiceTest : public ::testing::Test {
 protected:
  RemovalRequest Request(Dictionary keys = {}) {
    keys.emplace("volumePath", Value(volume_.path()));
    return keys;
  }
  PathSet Paths(std::initializer_list<const char*> relative) {
    PathSet paths;
    for (const char* p : relative) paths.insert(volume_.PathOf(p));
    return paths;
  }

  TempTree volume_;
  TempTree outside_;
};

TEST_F(RemovalServiceTest, SelectionRulesWorkTogether) {
  for (const char* f :
       {".DS_Store", "sub/.DS_Store", "Thumbs.db", "sub/Thumbs.db.bak", "a.tmp",
        "sub/deep/b.tmp", "keep.tmp", "both", "photo.jpg", "notes.txt",
        "._photo.jpg", "sub/._x", "a.TMP", "tmp"}) {
    volume_.MakeFile(f);
  }
  RemovalReply reply = RunRequest(
      Request({{"appleDouble", Value(true)},
               {"fileRemovalArray", Names({".DS_Store", "Thumbs*", "both"})},
               {"extensionsArray", Names({"tmp"})},
               // A wildcard hit is removed even when its name is kept.
               {"fileKeepArray",
                Names({"keep.tmp", "both", "._photo.jpg", "Thumbs.db"})}}));
  EXPECT_EQ(Removed(reply),
            Paths({".DS_Store", "sub/.DS_Store", "Thumbs.db",
                   "sub/Thumbs.db.bak", "a.tmp", "sub/deep/b.tmp", "sub/._x"}));
  EXPECT_TRUE(Errors(reply).empty());
  EXPECT_FALSE(ShowReadMe(reply));
  EXPECT_EQ(volume_.Listing(),
            (Strings{"._photo.jpg", "a.TMP", "both", "keep.tmp", "notes.txt",
                     "photo.jpg", "sub/", "sub/deep/", "tmp"}));
}

TEST_F(RemovalServiceTest, AppleDoubleAloneSkipsTheWalkAndHonoursKeep) {
  volume_.MakeFile("._a");
  volume_.MakeFile("x/._b");
  volume_.MakeFile("._keep");
  volume_.MakeFile("._dir/content.txt");
  volume_.MakeFile("Thumbs.db");
  RemovalReply reply = RunRequest(Request(
      {{"appleDouble", Value(1)}, {"fileKeepArray", Names({"._keep"})}}));
  EXPECT_EQ(Removed(reply), Paths({"._a", "x/._b", "._dir"}));
  EXPECT_EQ(volume_.Listing(), (Strings{"._keep", "Thumbs.db", "x/"}));
  EXPECT_TRUE(Errors(reply).empty());
}

TEST_F(RemovalServiceTest, StarExtensionTakesEverythingButTheVolume) {
  volume_.MakeFile("a.txt");
  volume_.MakeFile("Makefile");
  volume_.MakeFile("dir/inner/.hidden");
  RemovalReply reply = RunRequest(Request({{"extensionsArray", Names({"*"})}}));
  EXPECT_EQ(Removed(reply), Paths({"a.txt", "Makefile", "dir", "dir/inner",
                                   "dir/inner/.hidden"}));
  EXPECT_TRUE(Errors(reply).empty());
  EXPECT_TRUE(volume_.Listing().empty());
  EXPECT_TRUE(volume_.Exists(""));
}

TEST_F(RemovalServiceTest,
       SelectedItemsInsideSelectedFoldersAreReportedRemoved) {
  volume_.MakeFile("cache.tmp/a.tmp");
  volume_.MakeFile("cache.tmp/sub.tmp/b.tmp");
  volume_.MakeFile("cache.tmp/other.txt");
  volume_.MakeFile("cache.tmp/._y");
  volume_.MakeFile("._dir/._inner");
  RemovalReply reply = RunRequest(Request(
      {{"appleDouble", Value(true)}, {"extensionsArray", Names({"tmp"})}}));
  EXPECT_EQ(Removed(reply),
            Paths({"cache.tmp", "cache.tmp/a.tmp", "cache.tmp/sub.tmp",
                   "cache.tmp/sub.tmp/b.tmp", "cache.tmp/._y", "._dir",
                   "._dir/._inner"}));
  EXPECT_TRUE(Errors(reply).empty());
  EXPECT_TRUE(volume_.Listing().empty());
}

TEST_F(RemovalServiceTest, OneFileHasOneSpellingWhateverTheVolumePath) {
  volume_.MakeFile("._x.tmp");
  volume_.MakeFile("d/._y");
  std::string sloppy = "/" + volume_.path() + "//";
  RemovalReply reply = RunRequest({{"volumePath", Value(sloppy)},
                                   {"appleDouble", Value(true)},
                                   {"fileRemovalArray", Names({"._*", "._y"})},
                                   {"extensionsArray", Names({"tmp", "t*"})}});
  EXPECT_EQ(Removed(reply), Paths({"._x.tmp", "d/._y"}));
  EXPECT_TRUE(Errors(reply).empty());
  EXPECT_EQ(*Find(reply, kVolumePathKey), Value(sloppy));
}

// Nothing selected, or no volume to remove from: a whole, clean reply with
// "volumePath" as it came (or empty), and "._" items stay unless asked for.
// The reply says a removal was stopped only when the stop cut it short:
// a stop that finds nothing left to do is no news.
TEST_F(RemovalServiceTest, AStopIsReportedOnlyWhenItCutTheRemovalShort) {
  auto stopped_run = [&] {
    RemovalProgress progress;
    progress.RequestStop();
    std::vector<RemovalReply> replies;
    QuillfenRemovalService().removeReportingProgress(
        Request({{"extensionsArray", Names({"tmp"})}}),
        [&](RemovalReply r) { replies.push_back(std::move(r)); }, progress);
    return OneWholeReply(std::move(replies));
  };
  RemovalReply nothing_left = stopped_run();
  EXPECT_EQ(Errors(nothing_left), Dictionary{});

  volume_.MakeFile("a.tmp");
  RemovalReply cut_short = stopped_run();
  EXPECT_TRUE(Removed(cut_short).empty());
  Dictionary errors = Errors(cut_short);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors.begin()->first, volume_.path());
  EXPECT_TRUE(volume_.Exists("a.tmp"));
}

TEST_F(RemovalServiceTest, NothingToDoGivesACleanReply) {
  volume_.MakeFile("._a");
  auto clean = [](const std::string& volume) {
    return RemovalReply{{"showReadMe", Value(false)},
                        {"volumePath", Value(volume)},
                        {"pathArray", Value(Array{})},
                        {"errorDict", Value(Dictionary{})}};
  };
  std::string path = volume_.path() + "/";
  EXPECT_EQ(RunRequest({{"volumePath", Value(path)},
                        {"fileRemovalArray", Names({"absent"})}}),
            clean(path));
  EXPECT_EQ(RunRequest({}), clean(""));
  EXPECT_EQ(
      RunRequest({{"volumePath", Value(42)}, {"appleDouble", Value(true)}}),
      clean(""));
  EXPECT_TRUE(volume_.Exists("._a"));
}

TEST_F(RemovalServiceTest, LinksAreItemsNeverPaths) {
  outside_.MakeFile("precious.tmp");
  outside_.MakeFile("Thumbs.db");
  volume_.MakeSymlink("into-outside", outside_.path());
  volume_.MakeSymlink("link.tmp", outside_.PathOf("precious.tmp"));
  volume_.MakeSymlink("._link", outside_.path());
  RemovalReply reply =
      RunRequest(Request({{"appleDouble", Value(true)},
                          {"fileRemovalArray", Names({"Thumbs.db"})},
                          {"extensionsArray", Names({"tmp"})}}));
  EXPECT_EQ(Removed(reply), Paths({"link.tmp", "._link"}));
  EXPECT_EQ(volume_.Listing(), Strings{"into-outside"});
  EXPECT_EQ(outside_.Listing(), (Strings{"Thumbs.db", "precious.tmp"}));
}

TEST_F(RemovalServiceTest, PermissionRefusalRaisesShowReadMe) {
  volume_.MakeFile("locked/a.tmp");
  volume_.MakeFile("locked/folder.tmp/inner");
  volume_.MakeFile("free/b.tmp");
  // Nothing can be taken out of "locked" or "folder.tmp"; anyone may take
  // from "free". A failure inside a selected folder names an item the bus
  // can't carry.
  volume_.MakeFile("free/sel.tmp/inner\xff");
  chmod(volume_.PathOf("locked/folder.tmp").c_str(), 0555);
  chmod(volume_.PathOf("locked").c_str(), 0555);
  chmod(volume_.PathOf("free").c_str(), 0777);
  // Root is refused nothing: the request runs in a child without root's
  // privileges, which sends its one reply back to be checked here.
  std::string json = quillfen::testing::RunUnprivileged([&] {
    std::vector<RemovalReply> replies =
        Serve(Request({{"extensionsArray", Names({"tmp"})}}));
    if (replies.size() != 1) return std::to_string(replies.size()) + " replies";
    std::string fault = DictionaryBusFault(replies[0]);
    return fault.empty() ? JsonTextFromValue(Value(replies[0])) : fault;
  });
  Result<Value> parsed = ValueFromJsonText(json);
  ASSERT_TRUE(parsed.ok() && parsed->AsDictionary()) << json;
  RemovalReply reply = OneWholeReply({*parsed->AsDictionary()});
  EXPECT_TRUE(ShowReadMe(reply));
  EXPECT_EQ(Removed(reply), Paths({"free/b.tmp"}));
  EXPECT_EQ(Errors(reply),
            Dictionary({{volume_.PathOf("locked/a.tmp"),
                         Value("“a.tmp” couldn’t be removed because you don’t "
                               "have permission to access it.")},
                        {volume_.PathOf("locked/folder.tmp"),
                         Value("“folder.tmp” couldn’t be removed because you "
                               "don’t have permission to access it.")},
                        {volume_.PathOf("free/sel.tmp"),
                         Value("“inner\uFFFD” couldn’t be removed because "
                               "you don’t have permission to access it.")}}));
  EXPECT_EQ(volume_.Listing(),
            (Strings{"free/", "free/sel.tmp/", "free/sel.tmp/inner\xff",
                     "locked/", "locked/a.tmp", "locked/folder.tmp/",
                     "locked/folder.tmp/inner"}));
}

// Awkward names, with a walk or without: names the bus can't carry are
// never candidates (but go with a selected folder), and line feeds in paths
// neither hide a "._" item nor make one up. find prints the last one as
// "VOLUME/._r" and "VOLUME/._x", and neither exists.
TEST_F(RemovalServiceTest, AwkwardNamesAreFoundOrLeftNeverMisnamed) {
  const std::string odd = "._odd\xef\xbf\xbe";  // U+FFFE
  const std::string tricky = "._r\n" + volume_.path() + "/._x";
  for (bool walked : {false, true}) {
    SCOPED_TRACE(walked);
    for (const std::string& name :
         {std::string("._ok"), std::string(".DS_Store"), odd,
          std::string("._bad\xff"), "sub/" + odd, std::string("cache/in\xff"),
          std::string("._nl\nname"), std::string("d\n/._in"), tricky}) {
      volume_.MakeFile(name);
    }
    RemovalRequest request = Request({{"appleDouble", Value(true)}});
    if (walked) {
      request.emplace("fileRemovalArray", Names({".DS_Store", "cache"}));
    }
    RemovalReply reply = RunRequest(request);
    EXPECT_EQ(DictionaryBusFault(reply), "");
    EXPECT_TRUE(Errors(reply).empty());
    PathSet removed = Paths({"._ok", "._nl\nname", "d\n/._in", "._r\n"});
    removed.insert(volume_.PathOf(tricky));
    if (walked) removed.merge(Paths({".DS_Store", "cache"}));
    EXPECT_EQ(Removed(reply), removed);
    EXPECT_TRUE(volume_.Exists(odd) && volume_.Exists("._bad\xff") &&
                volume_.Exists("sub/" + odd));
  }
}

TEST_F(RemovalServiceTest, NameAPatternCantSettleInTimeIsReported) {
  // Entries with expression characters go to ICU, whose backtracking on
  // this name outruns its budget.
  const std::string entry = "(x)*a*a*a*a*a*c";
  const std::string name = "x" + std::string(250, 'a');
  volume_.MakeFile(name);
  volume_.MakeFile("xaaaaac");
  RemovalReply reply =
      RunRequest(Request({{"fileRemovalArray", Value(Array{Value(entry)})}}));
  EXPECT_EQ(Removed(reply), Paths({"xaaaaac"}));
  EXPECT_EQ(
      Errors(reply),
      (Dictionary{{volume_.PathOf(name),
                   Value("“" + name + "” couldn’t be matched against “" +
                         entry + "” in time, so it was left in place.")}}));
  EXPECT_TRUE(volume_.Exists(name));
}

TEST_F(RemovalServiceTest, BadRequestsRemoveNothingAndSayWhy) {
  volume_.MakeFile("._a");
  volume_.MakeFile("x.tmp");
  volume_.MakeFile("plain-file");
  volume_.MakeSymlink("volume-link", volume_.path());
  const Value all_tmp = Names({"tmp"});
  struct Case {
    Dictionary request;
    std::string key;
    std::string says;
  };
  std::string v = volume_.path();
  std::vector<Case> cases = {
      {{{"volumePath", Value(v + "/missing")}}, v + "/missing", "exist"},
      {{{"volumePath", Value(v + "/plain-file")}},
       v + "/plain-file",
       "isn’t a folder"},
      {{{"volumePath", Value(v + "/volume-link")}},
       v + "/volume-link",
       "symbolic link"},
      // A keep list that can't be read whole must not read as empty.
      {{{"volumePath", Value(v)},
        {"fileKeepArray", Value(Array{Value("x.tmp"), Value(true)})},
        {"extensionsArray", all_tmp}},
       v,
       "fileKeepArray"},
      // Text the bus would cut short or refuse, wherever it is.
      {{{"volumePath", Value(v + "\0/elsewhere"s)}},
       v + "\0/elsewhere"s,
       "“volumePath” holds a NUL character"},
      {{{"volumePath", Value(v)},
        {"fileKeepArray", Value(Array{Value("\xff")})},
        {"extensionsArray", all_tmp}},
       v,
       "“fileKeepArray” holds text that isn’t valid UTF-8"},
  };
  for (Case& c : cases) {
    c.request.emplace("appleDouble", Value(true));
    RemovalReply reply = RunRequest(c.request);
    EXPECT_TRUE(Removed(reply).empty()) << c.key;
    ASSERT_EQ(Errors(reply).size(), 1u) << c.key;
    EXPECT_EQ(Errors(reply).begin()->first, c.key);
    EXPECT_NE(Errors(reply).begin()->second.AsString()->find(c.says),
              std::string::npos)
        << *Errors(reply).begin()->second.AsString();
    EXPECT_EQ(*Find(reply, kVolumePathKey), *Find(c.request, kVolumePathKey));
  }
  EXPECT_EQ(volume_.Listing(),
            (Strings{"._a", "plain-file", "volume-link", "x.tmp"}));
}

}  // namespace
}  // namespace quillfen
