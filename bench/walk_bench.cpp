// What a walk costs over a generated volume, without removing anything:
// the walk alone, the walk asking the plan about every name, and the
// engine's whole preview (the "._" listing by find included). The volume is
// made once, in a fresh folder under $TMPDIR (or /tmp), and removed at the
// end.
//
//   walk_bench [--entries=N] [benchmark options]   (default 100000 entries)
//
// Times are wall-clock: the preview's listing runs in a child process.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "base/error_text.h"
#include "bench/sample_volume.h"
#include "removal-engine/quillfen_removal_service.h"
#include "removal-engine/removal_plan.h"
#include "removal-engine/volume_walker.h"

namespace quillfen::bench {
namespace {

class GeneratedVolume {
 public:
  explicit GeneratedVolume(std::size_t entries) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
        "/quillfen-walk-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::fprintf(stderr, "walk_bench: mkdtemp: %s\n",
                   SystemErrorText(errno).c_str());
      std::exit(1);
    }
    folder_ = pattern;
    path_ = folder_ + "/volume";
    SampleVolume::Made made =
        SampleVolume::Plan(/*seed=*/1, entries).Materialize(path_);
    if (!made.error.empty()) {
      std::fprintf(stderr, "walk_bench: %s\n", made.error.c_str());
      std::filesystem::remove_all(folder_);
      std::exit(1);
    }
    entries_ = made.files + made.folders;
  }
  ~GeneratedVolume() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  GeneratedVolume(const GeneratedVolume&) = delete;
  GeneratedVolume& operator=(const GeneratedVolume&) = delete;

  const std::string& path() const { return path_; }
  std::size_t entries() const { return entries_; }

 private:
  std::string folder_;
  std::string path_;
  std::size_t entries_ = 0;
};

const GeneratedVolume* volume = nullptr;

Array NameArray(std::initializer_list<const char*> names) {
  Array array;
  for (const char* name : names) array.emplace_back(name);
  return array;
}

// The request every comparison in scripts/bench makes.
RemovalRequest UsualRequest() {
  return {{"volumePath", Value(volume->path())},
          {"appleDouble", Value(true)},
          {"fileRemovalArray", Value(NameArray({".DS_Store", "Thumbs.db"}))},
          {"extensionsArray", Value(NameArray({"tmp"}))},
          {"fileKeepArray", Value(Array())}};
}

// Counts the items of a walk and hands each name to |Name|.
template <typename Name>
class CountingVisitor : public WalkVisitor {
 public:
  explicit CountingVisitor(Name name) : name_(std::move(name)) {}
  WalkAction VisitEntries(int, std::string_view,
                          std::span<WalkEntry> entries) override {
    items_ += entries.size();
    for (const WalkEntry& entry : entries) name_(entry.name);
    return WalkAction::kGoOn;
  }
  std::size_t items() const { return items_; }

 private:
  Name name_;
  std::size_t items_ = 0;
};

// Walks the volume from a descriptor of its own, as a request does: a
// descriptor that has been read to its end would make the next walk see an
// empty folder. Answers how many items the walk visited.
template <typename Name>
std::size_t WalkVolume(Name name) {
  int fd = open(volume->path().c_str(),
                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  CountingVisitor<Name> visitor(std::move(name));
  VolumeWalker().Walk(fd, visitor);
  close(fd);
  return visitor.items();
}

void CountPerEntry(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(volume->entries()));
}

void BM_Walk(benchmark::State& state) {
  for (auto _ : state) {
    if (WalkVolume([](std::string_view) {}) != volume->entries()) {
      state.SkipWithError("the walk missed items");
      break;
    }
  }
  CountPerEntry(state);
}
BENCHMARK(BM_Walk)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WalkAndSelect(benchmark::State& state) {
  Result<RemovalPlan> reading = RemovalPlan::FromRequest(UsualRequest());
  if (!reading) {
    state.SkipWithError("the request was refused");
    return;
  }
  RemovalPlan& plan = *reading;
  std::size_t selected = 0;
  for (auto _ : state) {
    selected = 0;
    std::size_t items = WalkVolume([&](std::string_view name) {
      if (plan.Selects(name)) ++selected;
    });
    if (items != volume->entries()) {
      state.SkipWithError("the walk missed items");
      break;
    }
  }
  state.counters["selected"] = static_cast<double>(selected);
  CountPerEntry(state);
}
BENCHMARK(BM_WalkAndSelect)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Preview(benchmark::State& state) {
  RemovalRequest request = UsualRequest();
  std::size_t listed = 0;
  for (auto _ : state) {
    RemovalReply reply = QuillfenRemovalService().previewWithFileDict(request);
    const Value* paths = Find(reply, "pathArray");
    const Value* errors = Find(reply, "errorDict");
    if (paths == nullptr || paths->AsArray() == nullptr || errors == nullptr ||
        !errors->AsDictionary()->empty()) {
      state.SkipWithError("the preview failed");
      break;
    }
    listed = paths->AsArray()->size();
  }
  state.counters["selected"] = static_cast<double>(listed);
  CountPerEntry(state);
}
BENCHMARK(BM_Preview)->Unit(benchmark::kMillisecond)->UseRealTime();

// Takes "--entries=N" out of the arguments before the library reads them.
std::size_t TakeEntriesFlag(int* argc, char** argv) {
  std::size_t entries = 100'000;
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    std::string_view arg = argv[i];
    constexpr std::string_view kFlag = "--entries=";
    if (!arg.starts_with(kFlag)) {
      argv[kept++] = argv[i];
      continue;
    }
    std::string_view number = arg.substr(kFlag.size());
    const char* end = number.data() + number.size();
    auto [rest, error] = std::from_chars(number.data(), end, entries);
    if (error != std::errc() || rest != end || entries == 0) {
      std::fprintf(stderr, "walk_bench: bad %s\n", argv[i]);
      std::exit(2);
    }
  }
  *argc = kept;
  argv[kept] = nullptr;
  return entries;
}

}  // namespace
}  // namespace quillfen::bench

int main(int argc, char** argv) {
  using namespace quillfen::bench;
  std::size_t entries = TakeEntriesFlag(&argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  GeneratedVolume generated(entries);
  volume = &generated;
  benchmark::AddCustomContext("volume_entries",
                              std::to_string(generated.entries()));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  volume = nullptr;
  return 0;
}
