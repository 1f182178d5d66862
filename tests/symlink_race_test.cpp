// A removal raced by an attacker. While the engine works, another thread
// keeps trading places (an atomic rename exchange) between folders of the
// volume and links to a canary folder outside it that is full of names the
// request selects: a candidate folder ("cache.tmp") and a plain folder on
// the path of candidates ("dir", holding "x.tmp"). Whatever the timing,
// nothing outside the volume may change. QUILLFEN_RACE_SWAPS and
// QUILLFEN_RACE_ROUNDS set how many swaps, at least, must land while
// removals run, and on how many fresh volumes at least.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/unique_fd.h"
#include "removal-engine/quillfen_removal_service.h"
#include "testing/support.h"
#include "testing/temp_tree.h"
#include "testing/test_bus.h"

namespace quillfen {
namespace {

using namespace std::chrono_literals;
using testing::ReportFigure;
using testing::TempTree;

// Enough candidates that a removal outlasts thousands of swaps.
constexpr int kBulkFolders = 8;
constexpr int kBulkFilesPerFolder = 400;
constexpr int kBigFolderFiles = 300;

// Names the request selects, in the canary and in the swapped folders.
const char* const kBait[] = {"._a", "x.tmp", "._dir", "cache.tmp"};

// Beside each folder of the volume swapped, under the folder's name +
// kStash, waits its rival link to the canary.
constexpr std::string_view kStash = ".swap";

class Attacker {
 public:
  Attacker(int volume_fd, std::string canary, std::vector<std::string> places)
      : volume_fd_(volume_fd),
        canary_(std::move(canary)),
        places_(std::move(places)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Attacker() { Stop(); }

  // Waits for the first swap, then counts from there.
  bool StartCounting() {
    if (!testing::PollUntil([this] { return swaps_.load() > 0; }, 10s)) {
      return false;
    }
    counted_from_ = swaps_.load();
    return true;
  }
  // Stops the attacker; answers the swaps since StartCounting().
  long long Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return swaps_.load() - counted_from_;
  }

 private:
  void Run() {
    while (!stop_.load(std::memory_order_relaxed)) {
      for (const std::string& place : places_) {
        const std::string stash = place + std::string(kStash);
        if (renameat2(volume_fd_, place.c_str(), volume_fd_, stash.c_str(),
                      RENAME_EXCHANGE) == 0) {
          swaps_.fetch_add(1, std::memory_order_relaxed);
        } else if (errno == ENOENT) {
          Restore(place, stash);
        }
      }
    }
  }

  // The engine removed one side: put back a link where a folder remains,
  // and a folder of bait where a link remains.
  void Restore(const std::string& place, const std::string& stash) {
    for (const auto& [name, other] :
         {std::pair{&place, &stash}, std::pair{&stash, &place}}) {
      if (KindOf(*name) != 0) continue;
      if (KindOf(*other) != S_IFLNK) {
        // Fails harmlessly when a swap got there first.
        [[maybe_unused]] int made =
            symlinkat(canary_.c_str(), volume_fd_, name->c_str());
      } else if (mkdirat(volume_fd_, name->c_str(), 0755) == 0) {
        UniqueFd fd(openat(volume_fd_, name->c_str(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) continue;
        for (const char* bait : kBait) testing::MakeFileAt(fd.get(), bait);
      }
    }
  }
  // The kind (S_IFMT bits) of the volume's entry |name|, 0 when it has none.
  mode_t KindOf(const std::string& name) const {
    struct stat status;
    return fstatat(volume_fd_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0
               ? status.st_mode & S_IFMT
               : 0;
  }

  const int volume_fd_;
  const std::string canary_;
  const std::vector<std::string> places_;
  std::atomic<bool> stop_ = false;
  std::atomic<long long> swaps_ = 0;
  long long counted_from_ = 0;
  std::thread thread_;
};

class SymlinkRaceTest : public ::testing::Test {
 protected:
  SymlinkRaceTest() {
    // The canary holds everything the request would select, at every depth
    // a swapped link could lead a removal to ("cache.tmp" a folder of it).
    for (std::string folder : {"canary/cache.tmp/", "canary/dir/", "canary/"}) {
      for (const char* bait : kBait) outside_.MakeFile(folder + bait, folder);
    }
    for (int i = 0; i < 100; ++i) {
      outside_.MakeFile("canary/._" + std::to_string(i), std::to_string(i));
      outside_.MakeFile("canary/" + std::to_string(i) + ".tmp", "t");
    }
    outside_.MakeFile("neighbour.tmp", "beside the canary");
    outside_.MakeSymlink("canary/link.tmp", volume_.path());
  }

  // A fresh volume: thousands of candidates, and the folders to swap: a
  // candidate folder, a plain folder on candidates' paths, and folders
  // inside a large candidate folder, which is read whole before what is
  // left in it goes. The folders holding a place are never swapped.
  std::vector<std::string> MakeVolume() {
    testing::MakeManyFiles(volume_.PathOf("bulk"), kBulkFolders,
                           kBulkFilesPerFolder, ".tmp");
    keeps_ = testing::MakeManyFiles(volume_.PathOf("bulk"), kBulkFolders,
                                    kBulkFilesPerFolder, ".keep");
    std::vector<std::string> places;
    // At the top and deep down, so that the swaps meet the walk and the
    // removal early and late.
    for (std::string base : {"", "bulk/d000/", "bulk/d004/", "bulk/d007/"}) {
      for (const char* place : {"cache.tmp", "dir", "big.tmp/inner1",
                                "big.tmp/inner2", "big.tmp/inner3"}) {
        for (const char* bait : kBait) {
          volume_.MakeFile(base + place + "/" + bait, "volume");
        }
        volume_.MakeSymlink(base + place + std::string(kStash),
                            outside_.PathOf("canary"));
        places.push_back(base + place);
      }
      UniqueFd big(open(volume_.PathOf(base + "big.tmp").c_str(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      for (int i = 0; i < kBigFolderFiles; ++i) {
        testing::MakeFileAt(big.get(), "filler" + std::to_string(i));
      }
    }
    return places;
  }

  // Runs |remove| on fresh volumes under attack until QUILLFEN_RACE_SWAPS
  // swaps have landed during removals and at least QUILLFEN_RACE_ROUNDS
  // (or |min_rounds|) rounds have run.
  void RaceUntil(int min_rounds,
                 const std::function<Dictionary(const RemovalRequest&)>& remove,
                 const std::string& figure) {
    const long long target = testing::Knob("QUILLFEN_RACE_SWAPS", 300);
    min_rounds =
        static_cast<int>(testing::Knob("QUILLFEN_RACE_ROUNDS", min_rounds));
    const std::string outside_before = testing::TreeSnapshot(outside_.path());
    const RemovalRequest request =
        testing::RemovalRequestFor(volume_.path(), true, {"tmp"});
    const auto deadline = std::chrono::steady_clock::now() + 10min;
    long long swaps = 0, removed = 0;
    int rounds = 0;
    int volume_fd =
        open(volume_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(volume_fd, 0);
    while (swaps < target || rounds < min_rounds) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline)
          << "only " << swaps << " swaps landed in " << rounds << " rounds";
      Attacker attacker(volume_fd, outside_.PathOf("canary"), MakeVolume());
      ASSERT_TRUE(attacker.StartCounting()) << "the attacker can't swap";
      Dictionary reply = remove(request);
      swaps += attacker.Stop();
      ++rounds;

      ASSERT_EQ(testing::TreeSnapshot(outside_.path()), outside_before)
          << "round " << rounds << " changed what lies outside the volume";
      std::set<std::string> paths = testing::RemovedPaths(reply);
      // The engine did its work under attack, and only that.
      removed += static_cast<long long>(paths.size());
      ASSERT_GE(paths.size(),
                static_cast<std::size_t>(kBulkFolders * kBulkFilesPerFolder));
      for (std::size_t i = 0; i < keeps_.size(); i += 97) {
        ASSERT_TRUE(volume_.Exists("bulk/" + keeps_[i])) << keeps_[i];
      }
      paths.merge(testing::ErrorPaths(reply));
      for (const std::string& path : paths) {
        ASSERT_TRUE(path.starts_with(volume_.path() + "/")) << path;
      }
      for (const auto& entry :
           std::filesystem::directory_iterator(volume_.path())) {
        std::filesystem::remove_all(entry.path());
      }
    }
    close(volume_fd);
    ReportFigure(figure + " swaps survived", swaps);
    ReportFigure(figure + " rounds", rounds);
    ReportFigure(figure + " paths removed under attack", removed);
  }

  TempTree volume_, outside_;
  std::vector<std::string> keeps_;
};

TEST_F(SymlinkRaceTest, EngineInProcessNeverReachesTheCanary) {
  RaceUntil(
      3,
      [](const RemovalRequest& request) {
        Dictionary reply;
        QuillfenRemovalService().removeWithFileDict(
            request, [&](RemovalReply r) { reply = std::move(r); });
        return reply;
      },
      "engine");
}

TEST_F(SymlinkRaceTest, ServiceOverTheBusNeverReachesTheCanary) {
  testing::TestBus bus;
  auto connection = bus.Connect();
  RaceUntil(
      2,
      [&](const RemovalRequest& request) {
        return testing::CallRemoveWithFileDict(*connection, request);
      },
      "service");
}

}  // namespace
}  // namespace quillfen
