#include "removal-engine/quillfen_removal_service.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

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
// never candidates (but go with a selected folder) and are counted where
// they stay, whether find or the walk met them, and line feeds in paths
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
    EXPECT_EQ(Errors(reply),
              (Dictionary{{volume_.path(),
                           Value("2 items here whose names aren’t UTF-8 text "
                                 "were left in place.")},
                          {volume_.PathOf("sub"),
                           Value("1 item here whose name isn’t UTF-8 text was "
                                 "left in place.")}}));
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

// Runs |request| with a progress that the test may stop.
RemovalReply RunStoppable(const RemovalRequest& request,
                          RemovalProgress& progress) {
  std::vector<RemovalReply> replies;
  QuillfenRemovalService().removeReportingProgress(
      request, [&](RemovalReply r) { replies.push_back(std::move(r)); },
      progress);
  return OneWholeReply(std::move(replies));
}

// Asks |progress| to stop once |count| items have gone from the folder at
// |path|, as the kernel tells it: the stop lands inside the folder's
// removal, wherever exactly.
class StopAfterDeletions {
 public:
  StopAfterDeletions(const std::string& path, int count,
                     RemovalProgress& progress)
      : fd_(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    EXPECT_GE(inotify_add_watch(fd_.get(), path.c_str(), IN_DELETE), 0);
    thread_ = std::thread([this, count, &progress] {
      alignas(inotify_event) char buffer[64 * 1024];
      int seen = 0;
      while (!done_ && seen < count) {
        pollfd ready{fd_.get(), POLLIN, 0};
        if (poll(&ready, 1, 50) <= 0) continue;
        ssize_t n = read(fd_.get(), buffer, sizeof buffer);
        for (ssize_t at = 0; at < n;) {
          const auto* event =
              reinterpret_cast<const inotify_event*>(buffer + at);
          seen += (event->mask & IN_Q_OVERFLOW) ? count : 1;
          at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
      }
      if (seen >= count) progress.RequestStop();
    });
  }
  ~StopAfterDeletions() {
    done_ = true;
    thread_.join();
  }

 private:
  UniqueFd fd_;
  std::atomic<bool> done_ = false;
  std::thread thread_;
};

// "1,234" for 1234.
std::string Grouped(long count) {
  std::string digits = std::to_string(count % 1000);
  if (count < 1000) return digits;
  return std::to_string(count / 1000) + "," +
         std::string(3 - digits.size(), '0') + digits;
}

// A stop inside a selected folder: the folder's entry says exactly how many
// of its items went, and the stop's entry no longer claims that only the
// listed items are gone.
TEST_F(RemovalServiceTest, AStopInsideASelectedFolderSaysHowMuchOfItWent) {
  constexpr int kFiles = 20000;
  constexpr int kStopAfter = 2000;
  volume_.MakeFile("a.tmp");
  volume_.MakeDir("big.tmp");
  for (int i = 0; i < kFiles; ++i) {
    UniqueFd file(
        creat(volume_.PathOf("big.tmp/f" + std::to_string(i)).c_str(), 0644));
    ASSERT_TRUE(file);
  }
  RemovalProgress progress;
  RemovalReply reply;
  {
    StopAfterDeletions stop(volume_.PathOf("big.tmp"), kStopAfter, progress);
    reply =
        RunStoppable(Request({{"extensionsArray", Names({"tmp"})}}), progress);
  }
  long left = quillfen::testing::EntryCount(volume_.PathOf("big.tmp"));
  ASSERT_GT(left, 0);
  ASSERT_GE(kFiles - left, kStopAfter);
  EXPECT_EQ(Removed(reply), Paths({"a.tmp"}));
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

// A refusal inside a selected folder, as a user without root's rights
// meets it: the 50 documents that went are counted, the refusal named.
TEST_F(RemovalServiceTest, ARefusalInsideASelectedFolderSaysHowMuchOfItWent) {
  for (int i = 0; i < 50; ++i) {
    volume_.MakeFile("cache.tmp/doc" + std::to_string(i) + ".txt");
  }
  volume_.MakeFile("cache.tmp/root-only/x");
  chmod(volume_.path().c_str(), 0777);
  chmod(volume_.PathOf("cache.tmp").c_str(), 0777);
  std::string json = quillfen::testing::RunUnprivileged([&] {
    std::vector<RemovalReply> replies =
        Serve(Request({{"extensionsArray", Names({"tmp"})}}));
    if (replies.size() != 1) return std::to_string(replies.size()) + " replies";
    return JsonTextFromValue(Value(replies[0]));
  });
  Result<Value> parsed = ValueFromJsonText(json);
  ASSERT_TRUE(parsed.ok() && parsed->AsDictionary()) << json;
  RemovalReply reply = OneWholeReply({*parsed->AsDictionary()});
  EXPECT_TRUE(ShowReadMe(reply));
  EXPECT_TRUE(Removed(reply).empty());
  EXPECT_EQ(Errors(reply),
            (Dictionary{{volume_.PathOf("cache.tmp"),
                         Value("“cache.tmp” couldn’t be removed whole: 50 of "
                               "the items in it were removed, but not the "
                               "rest. “x” couldn’t be removed because you "
                               "don’t have permission to access it.")}}));
  EXPECT_EQ(volume_.Listing(), (Strings{"cache.tmp/", "cache.tmp/root-only/",
                                        "cache.tmp/root-only/x"}));
}

// Selected items whose paths aren't UTF-8 (Latin-1 names, of files and of
// the folders holding them, "._" items too) stay, and are counted under the
// nearest folder the reply can name, whether the walk or find met them.
TEST_F(RemovalServiceTest, ItemsThatCantBeNamedAreCountedWhereTheyStay) {
  const std::string cafe = "caf\xe9.tmp";
  const std::string photos = "Ph\xf6tos";
  for (const std::string& file :
       {cafe, photos + "/a.tmp", photos + "/._a", photos + "/keep.txt",
        photos + "/deeper/b.tmp", std::string("old\xe9.tmp/x.tmp"),
        "docs/" + cafe, std::string("docs/ok.tmp"), std::string("a.tmp")}) {
    volume_.MakeFile(file);
  }
  const Strings before = volume_.Listing();
  // Latin-1 café.tmp, Phötos/{a.tmp, ._a, deeper/b.tmp}, oldé.tmp and
  // what it holds.
  const Dictionary counted = {
      {volume_.path(),
       Value("6 items here whose names aren’t UTF-8 text were left in "
             "place.")},
      {volume_.PathOf("docs"),
       Value("1 item here whose name isn’t UTF-8 text was left in place.")}};
  RemovalRequest request = Request(
      {{"appleDouble", Value(true)}, {"extensionsArray", Names({"tmp"})}});
  RemovalReply preview = QuillfenRemovalService().previewWithFileDict(request);
  EXPECT_EQ(Errors(preview), counted);
  RemovalReply reply = RunRequest(request);
  EXPECT_EQ(Removed(reply), Paths({"a.tmp", "docs/ok.tmp"}));
  EXPECT_EQ(Errors(reply), counted);
  Strings expected = before;
  std::erase(expected, "a.tmp");
  std::erase(expected, "docs/ok.tmp");
  EXPECT_EQ(volume_.Listing(), expected);

  // "._" alone: find's listing can't name them, so the walk counts them.
  outside_.MakeFile(photos + "/._a");
  outside_.MakeFile("._b\xff");
  outside_.MakeFile("._ok");
  reply = RunRequest(
      {{"volumePath", Value(outside_.path())}, {"appleDouble", Value(true)}});
  EXPECT_EQ(Removed(reply), PathSet{outside_.PathOf("._ok")});
  EXPECT_EQ(Errors(reply),
            (Dictionary{{outside_.path(),
                         Value("2 items here whose names aren’t UTF-8 text "
                               "were left in place.")}}));
  EXPECT_EQ(outside_.Listing(),
            (Strings{"._b\xff", photos + "/", photos + "/._a"}));
}

// Entries that make ICU backtrack take their whole budget on every name;
// a stop still ends the removal at once.
TEST_F(RemovalServiceTest, AStopEndsEvenBacktrackingMatchesAtOnce) {
  volume_.MakeFile("x" + std::string(250, 'a'));
  Array entries;
  for (int i = 0; i < 1000; ++i) {
    entries.emplace_back("(x)*a*a*a*a*a*c" + std::to_string(i));
  }
  RemovalProgress progress;
  std::chrono::steady_clock::time_point stopped_at;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stopped_at = std::chrono::steady_clock::now();
    progress.RequestStop();
  });
  RemovalReply reply = RunStoppable(
      Request({{"fileRemovalArray", Value(std::move(entries))}}), progress);
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
