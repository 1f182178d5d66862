#include "removal-engine/quillfen_removal_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>
#include <tuple>

#include "platform/unique_fd.h"
#include "protocol/bus_string.h"
#include "protocol/json_form.h"
#include "protocol/removal_keys.h"
#include "testing/support.h"
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

// Runs one request, stoppable through |progress| if given, and answers
// every reply it gave.
std::vector<RemovalReply> Serve(const RemovalRequest& request,
                                RemovalProgress* progress = nullptr) {
  std::vector<RemovalReply> replies;
  auto keep = [&](RemovalReply r) { replies.push_back(std::move(r)); };
  if (progress != nullptr) {
    QuillfenRemovalService().removeReportingProgress(request, keep, *progress);
  } else {
    QuillfenRemovalService().removeWithFileDict(request, keep);
  }
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

RemovalReply RunRequest(const RemovalRequest& request,
                        RemovalProgress* progress = nullptr) {
  return OneWholeReply(Serve(request, progress));
}

// The accessors below answer nothing for a reply that isn't whole, which
// OneWholeReply has already failed.
Strings Reported(const RemovalReply& reply) {
  Strings paths;
  const Value* array = Find(reply, kPathArrayKey);
  if (array == nullptr || array->AsArray() == nullptr) return paths;
  for (const Value& path : *array->AsArray()) {
    if (const std::string* text = path.AsString()) paths.push_back(*text);
  }
  return paths;
}

PathSet Removed(const RemovalReply& reply) {
  Strings reported = Reported(reply);
  PathSet paths(reported.begin(), reported.end());
  EXPECT_EQ(paths.size(), reported.size());  // Reported once each.
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

// Items the keep list names go unreported with a selected folder that
// holds them; a wildcard hit is removed even when its name is kept. Links
// are items, never paths: whatever they lead to stays.
TEST_F(RemovalServiceTest, SelectionRulesWorkTogether) {
  for (const char* f :
       {".DS_Store", "sub/.DS_Store", "Thumbs.db", "sub/Thumbs.db.bak", "a.tmp",
        "sub/deep/b.tmp", "keep.tmp", "both", "photo.jpg", "notes.txt",
        "._photo.jpg", "sub/._x", "a.TMP", "tmp", "old/keep.tmp", "old/._y"}) {
    volume_.MakeFile(f);
  }
  outside_.MakeFile("precious.tmp");
  outside_.MakeFile("Thumbs.db");
  volume_.MakeSymlink("into-outside", outside_.path());
  volume_.MakeSymlink("link.tmp", outside_.PathOf("precious.tmp"));
  volume_.MakeSymlink("._link", outside_.path());
  RemovalReply reply = RunRequest(Request(
      {{"appleDouble", Value(true)},
       {"fileRemovalArray", Names({".DS_Store", "Thumbs*", "both", "old"})},
       {"extensionsArray", Names({"tmp"})},
       {"fileKeepArray",
        Names({"keep.tmp", "both", "._photo.jpg", "Thumbs.db"})}}));
  EXPECT_EQ(Removed(reply),
            Paths({".DS_Store", "sub/.DS_Store", "Thumbs.db",
                   "sub/Thumbs.db.bak", "a.tmp", "sub/deep/b.tmp", "sub/._x",
                   "old", "old/._y", "link.tmp", "._link"}));
  EXPECT_TRUE(Errors(reply).empty());
  EXPECT_FALSE(ShowReadMe(reply));
  EXPECT_EQ(volume_.Listing(),
            (Strings{"._photo.jpg", "a.TMP", "both", "into-outside", "keep.tmp",
                     "notes.txt", "photo.jpg", "sub/", "sub/deep/", "tmp"}));
  EXPECT_EQ(outside_.Listing(), (Strings{"Thumbs.db", "precious.tmp"}));
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

// A selected folder goes whole; what the rules select inside it is
// reported too, before the folder. A preview removes nothing and reports
// what the removal then takes.
TEST_F(RemovalServiceTest, PreviewReportsWhatTheRemovalTakesFoldersLast) {
  for (const char* file :
       {"cache.tmp/a.tmp", "cache.tmp/sub.tmp/b.tmp", "cache.tmp/sub.tmp/c",
        "cache.tmp/._y", "._dir/._inner", "._dir/x", "d/e.tmp", "d/f"}) {
    volume_.MakeFile(file);
  }
  RemovalRequest request = Request(
      {{"appleDouble", Value(true)}, {"extensionsArray", Names({"tmp"})}});
  const std::string before = quillfen::testing::TreeSnapshot(volume_.path());
  RemovalReply preview = QuillfenRemovalService().previewWithFileDict(request);
  EXPECT_EQ(quillfen::testing::TreeSnapshot(volume_.path()), before);
  RemovalReply reply = RunRequest(request);
  EXPECT_EQ(Removed(preview), Removed(reply));
  EXPECT_EQ(Removed(reply),
            Paths({"._dir", "._dir/._inner", "cache.tmp", "cache.tmp/._y",
                   "cache.tmp/a.tmp", "cache.tmp/sub.tmp",
                   "cache.tmp/sub.tmp/b.tmp", "d/e.tmp"}));
  EXPECT_TRUE(Errors(reply).empty());
  EXPECT_EQ(volume_.Listing(), (Strings{"d/", "d/f"}));
  for (const RemovalReply* said : {&preview, &reply}) {
    Strings order = Reported(*said);
    for (std::size_t i = 0; i < order.size(); ++i) {
      for (std::size_t j = i + 1; j < order.size(); ++j) {
        EXPECT_FALSE(order[j].starts_with(order[i] + "/"))
            << order[j] << " after its folder " << order[i];
      }
    }
  }
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

// A stop asked before the removal began removes nothing, and is said only
// when there was something to remove.
TEST_F(RemovalServiceTest, AStopIsSaidOnlyWhenItCutTheRemovalShort) {
  RemovalProgress early;
  early.RequestStop();
  const RemovalRequest all_tmp = Request({{"extensionsArray", Names({"tmp"})}});
  EXPECT_EQ(Errors(RunRequest(all_tmp, &early)), Dictionary{});
  volume_.MakeFile("a.tmp");
  EXPECT_EQ(Errors(RunRequest(all_tmp, &early)).size(), 1u);
  EXPECT_TRUE(volume_.Exists("a.tmp"));
}

// Entries with expression characters go to ICU, whose backtracking on
// this name outruns its budget: the name stays and is reported. With many
// such entries every name takes their whole budget; a stop still ends the
// removal at once.
TEST_F(RemovalServiceTest, NamesPatternsCantSettleInTimeStayAndStopsStillEnd) {
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

  Array entries;
  for (int i = 0; i < 1000; ++i)
    entries.emplace_back(entry + std::to_string(i));
  RemovalProgress progress;
  std::chrono::steady_clock::time_point stopped_at;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stopped_at = std::chrono::steady_clock::now();
    progress.RequestStop();
  });
  reply = RunRequest(Request({{"fileRemovalArray", Value(std::move(entries))}}),
                     &progress);
  auto returned_at = std::chrono::steady_clock::now();
  stopper.join();
  EXPECT_LT(returned_at - stopped_at, std::chrono::seconds(5));
  // The name the stop interrupted is no undecided one: only the stop is said.
  EXPECT_EQ(Errors(reply),
            (Dictionary{{volume_.path(),
                         Value("The removal was stopped before it finished; "
                               "only the items listed as removed are "
                               "gone.")}}));
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
  RemovalReply reply =
      OneWholeReply({quillfen::testing::DictionaryFromJson(json)});
  auto refused = [](const std::string& name) {
    return Value("“" + name +
                 "” couldn’t be removed because you don’t have permission "
                 "to access it.");
  };
  EXPECT_TRUE(ShowReadMe(reply)) << json;
  EXPECT_EQ(Removed(reply), Paths({"free/b.tmp"}));
  EXPECT_EQ(
      Errors(reply),
      Dictionary({{volume_.PathOf("locked/a.tmp"), refused("a.tmp")},
                  {volume_.PathOf("locked/folder.tmp"), refused("folder.tmp")},
                  {volume_.PathOf("free/sel.tmp"), refused("inner\uFFFD")}}));
  EXPECT_EQ(volume_.Listing(),
            (Strings{"free/", "free/sel.tmp/", "free/sel.tmp/inner\xff",
                     "locked/", "locked/a.tmp", "locked/folder.tmp/",
                     "locked/folder.tmp/inner"}));
}

// Names the bus can't carry (not UTF-8, or noncharacters), of items or of
// the folders holding them, are never candidates but go with a selected
// folder; those the rules would select stay, counted under the nearest
// folder the reply can name, alike by a preview and a removal, whether
// find or the walk met them. Line feeds in paths neither hide a "._" item
// nor make one up: find prints the last name as "VOLUME/._r" and
// "VOLUME/._x", and neither exists.
TEST_F(RemovalServiceTest, ItemsThatCantBeNamedAreCountedWhereTheyStay) {
  const std::string odd = "._odd\xef\xbf\xbe";  // U+FFFE
  const std::string cafe = "caf\xe9.tmp";       // Latin-1
  const std::string tricky = "._r\n" + volume_.path() + "/._x";
  auto left_in_place = [](int count) {
    return Value(count == 1 ? "1 item here whose name isn’t UTF-8 text was "
                              "left in place."s
                            : std::to_string(count) +
                                  " items here whose names aren’t UTF-8 "
                                  "text were left in place.");
  };
  for (bool walked : {false, true}) {
    SCOPED_TRACE(walked);
    for (const std::string& name :
         {"._ok"s, odd, "._bad\xff"s, "sub/" + odd, "Ph\xf6tos/._a"s,
          "Ph\xf6tos/a.tmp"s, "Ph\xf6tos/keep.txt"s, cafe, "old\xe9.tmp/x.tmp"s,
          "cache/in\xff"s, "docs/" + cafe, "docs/ok.tmp"s, "._nl\nname"s,
          "d\n/._in"s, tricky}) {
      volume_.MakeFile(name);
    }
    RemovalRequest request = Request({{"appleDouble", Value(true)}});
    // ._bad, ._odd and Phötos/._a; with the walk, café.tmp, Phötos/a.tmp,
    // oldé.tmp and what it holds too.
    Dictionary counted = {{volume_.path(), left_in_place(walked ? 7 : 3)},
                          {volume_.PathOf("sub"), left_in_place(1)}};
    PathSet removed = Paths({"._ok", "._nl\nname", "d\n/._in", "._r\n"});
    removed.insert(volume_.PathOf(tricky));
    if (walked) {
      request.emplace("fileRemovalArray", Names({"cache"}));
      request.emplace("extensionsArray", Names({"tmp"}));
      counted.emplace(volume_.PathOf("docs"), left_in_place(1));
      removed.merge(Paths({"cache", "docs/ok.tmp"}));
    }
    EXPECT_EQ(Errors(QuillfenRemovalService().previewWithFileDict(request)),
              counted);
    RemovalReply reply = RunRequest(request);
    EXPECT_EQ(DictionaryBusFault(reply), "");
    EXPECT_EQ(Errors(reply), counted);
    EXPECT_EQ(Removed(reply), removed);
  }
  for (const std::string& stays :
       {odd, "._bad\xff"s, "sub/" + odd, "Ph\xf6tos/._a"s, "Ph\xf6tos/a.tmp"s,
        cafe, "old\xe9.tmp/x.tmp"s, "docs/" + cafe}) {
    EXPECT_TRUE(volume_.Exists(stays)) << stays;
  }
}

// "1,234" for 1234.
std::string Grouped(long count) {
  std::string digits = std::to_string(count % 1000);
  if (count < 1000) return digits;
  return std::to_string(count / 1000) + "," +
         std::string(3 - digits.size(), '0') + digits;
}

// A stop inside a selected folder, once some of what it holds has gone:
// the folder's entry says exactly how many of its items went, and the
// stop's entry no longer claims that only the listed items are gone.
TEST_F(RemovalServiceTest, AStopInsideASelectedFolderSaysHowMuchOfItWent) {
  constexpr int kFiles = 20000;
  constexpr int kStopAfter = 2000;
  volume_.MakeDir("big.tmp");
  for (int i = 0; i < kFiles; ++i) {
    UniqueFd file(
        creat(volume_.PathOf("big.tmp/f" + std::to_string(i) + ".tmp").c_str(),
              0644));
    ASSERT_TRUE(file);
  }
  RemovalProgress progress;
  std::jthread stopper([&](std::stop_token done) {
    while (!done.stop_requested() && progress.counts().removed < kStopAfter) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    progress.RequestStop();
  });
  RemovalReply reply =
      RunRequest(Request({{"extensionsArray", Names({"tmp"})}}), &progress);
  long left = quillfen::testing::EntryCount(volume_.PathOf("big.tmp"));
  ASSERT_GT(left, 0);
  ASSERT_GE(kFiles - left, kStopAfter);
  EXPECT_EQ(static_cast<long>(Removed(reply).size()), kFiles - left);
  EXPECT_EQ(
      Errors(reply),
      (Dictionary{
          {volume_.PathOf("big.tmp"),
           Value("“big.tmp” couldn’t be removed whole: " +
                 Grouped(kFiles - left) +
                 " of the items in it were removed before the removal was "
                 "stopped; the rest are still there.")},
          {volume_.path(),
           Value("The removal was stopped before it finished; the items "
                 "listed as removed are gone, and so are the items counted "
                 "as removed in folders that couldn’t be removed whole.")}}));
}

// A volume that can't be opened, text the bus would cut short or refuse
// (wherever it is), and a keep list that can't be read whole (which must
// not read as empty) remove nothing and say why under "volumePath" as sent.
TEST_F(RemovalServiceTest, BadRequestsRemoveNothingAndSayWhy) {
  volume_.MakeFile("._a");
  volume_.MakeFile("x.tmp");
  volume_.MakeSymlink("volume-link", volume_.path());
  const std::string v = volume_.path();
  const Value none = Value(Array{});
  for (const auto& [volume, keep, says] :
       std::vector<std::tuple<std::string, Value, std::string>>{
           {v + "/missing", none, "exist"},
           {v + "/volume-link", none, "symbolic link"},
           {v + "\0/elsewhere"s, none, "“volumePath” holds a NUL character"},
           {v, Value(Array{Value("x.tmp"), Value(true)}), "fileKeepArray"},
           {v, Names({"\xff"}),
            "“fileKeepArray” holds text that isn’t valid UTF-8"}}) {
    RemovalReply reply = RunRequest({{"volumePath", Value(volume)},
                                     {"appleDouble", Value(true)},
                                     {"extensionsArray", Names({"tmp"})},
                                     {"fileKeepArray", keep}});
    EXPECT_TRUE(Removed(reply).empty()) << says;
    ASSERT_EQ(Errors(reply).size(), 1u) << says;
    EXPECT_EQ(Errors(reply).begin()->first, volume);
    EXPECT_NE(Errors(reply).begin()->second.AsString()->find(says),
              std::string::npos)
        << *Errors(reply).begin()->second.AsString();
    EXPECT_EQ(*Find(reply, kVolumePathKey), Value(volume));
  }
  EXPECT_EQ(volume_.Listing(), (Strings{"._a", "volume-link", "x.tmp"}));
}

}  // namespace
}  // namespace quillfen
