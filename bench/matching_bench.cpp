// What deciding about one name costs: the exact-name and extension sets of
// a plan, a "*" entry on the literal fast path, and the same entry through
// ICU. The names are those of a generated 100,000-entry volume, so the mix
// of hits, near misses, lengths and non-ASCII text is a real volume's.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench/sample_volume.h"
#include "removal-engine/removal_plan.h"
#include "removal-engine/wildcard_pattern.h"

namespace quillfen::bench {
namespace {

const std::vector<std::string>& Names() {
  static const std::vector<std::string> names =
      SampleVolume::Plan(/*seed=*/1, /*entries=*/100'000).AllNames();
  return names;
}

Array NameArray(std::initializer_list<const char*> names) {
  Array array;
  for (const char* name : names) array.emplace_back(name);
  return array;
}

RemovalPlan PlanFor(RemovalRequest request) {
  request["volumePath"] = Value("/volume");
  Result<RemovalPlan> reading = RemovalPlan::FromRequest(request);
  if (!reading) std::abort();
  return std::move(*reading);
}

// Runs |selects| over every name and reports the cost per name.
template <typename Selects>
void OverNames(benchmark::State& state, Selects&& selects) {
  const std::vector<std::string>& names = Names();
  std::size_t selected = 0;
  for (auto _ : state) {
    for (const std::string& name : names) selected += selects(name) ? 1 : 0;
  }
  benchmark::DoNotOptimize(selected);
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(names.size()));
  state.counters["selected_per_pass"] =
      static_cast<double>(selected) / static_cast<double>(state.iterations());
}

void BM_ExactNames(benchmark::State& state) {
  RemovalPlan plan = PlanFor(
      {{"fileRemovalArray", Value(NameArray({".DS_Store", "Thumbs.db"}))}});
  OverNames(state,
            [&plan](const std::string& name) { return plan.Selects(name); });
}
BENCHMARK(BM_ExactNames);

void BM_ExactNamesAndExtension(benchmark::State& state) {
  RemovalPlan plan = PlanFor(
      {{"fileRemovalArray", Value(NameArray({".DS_Store", "Thumbs.db"}))},
       {"extensionsArray", Value(NameArray({"tmp"}))}});
  OverNames(state,
            [&plan](const std::string& name) { return plan.Selects(name); });
}
BENCHMARK(BM_ExactNamesAndExtension);

// One exact name against one simple "*" entry, each as the only entry of
// a plan: what a user pays per name for writing "Thumbs*" rather than
// "Thumbs.db".
void PlanWithOneName(benchmark::State& state, const char* entry) {
  RemovalPlan plan = PlanFor({{"fileRemovalArray", Value(NameArray({entry}))}});
  OverNames(state,
            [&plan](const std::string& name) { return plan.Selects(name); });
}
BENCHMARK_CAPTURE(PlanWithOneName, ExactName, "Thumbs.db")
    ->Name("BM_PlanOneExactName");
BENCHMARK_CAPTURE(PlanWithOneName, StarEntry, "Thumbs*")
    ->Name("BM_PlanOneStarEntry");

const char* const kEntries[] = {"*.tmp", "Thumbs*"};

void BM_WildcardFastPath(benchmark::State& state) {
  const char* entry = kEntries[state.range(0)];
  state.SetLabel(entry);
  WildcardPattern pattern(entry);
  if (!pattern.uses_fast_path()) {
    state.SkipWithError("the entry is not on the fast path");
    return;
  }
  OverNames(state, [&pattern](const std::string& name) {
    return pattern.Matches(name);
  });
}
BENCHMARK(BM_WildcardFastPath)->Arg(0)->Arg(1);

void BM_WildcardIcu(benchmark::State& state) {
  const char* entry = kEntries[state.range(0)];
  state.SetLabel(entry);
  WildcardPattern pattern(entry, WildcardPattern::Engine::kIcu);
  if (pattern.uses_fast_path() || !pattern.compiled()) {
    state.SkipWithError("the entry did not go to ICU");
    return;
  }
  OverNames(state, [&pattern](const std::string& name) {
    return pattern.Matches(name);
  });
}
BENCHMARK(BM_WildcardIcu)->Arg(0)->Arg(1);

}  // namespace
}  // namespace quillfen::bench

BENCHMARK_MAIN();
