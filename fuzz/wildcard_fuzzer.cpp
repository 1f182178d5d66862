// Wildcard entries come straight from requests, so any text may be one:
// an entry that is not a valid expression must simply match nothing, one
// that backtracks without end must give up on the name, and the
// literal-and-star fast path must answer exactly as the regular-expression
// engine does for every name it settles.
//
// Input: the entry, a NUL byte, then the name. Without a NUL the whole
// input is both the entry and the name.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "removal-service/wildcard_pattern.h"

namespace {

// Longer names can't be on a volume.
constexpr std::size_t kMaxName = 255;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using quillfen::WildcardPattern;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view entry = input;
  std::string_view name = input;
  if (std::size_t nul = input.find('\0'); nul != std::string_view::npos) {
    entry = input.substr(0, nul);
    name = input.substr(nul + 1);
  }
  if (name.size() > kMaxName) return 0;

  WildcardPattern fastest(entry);
  WildcardPattern icu(entry, WildcardPattern::Engine::kIcu);
  FUZZ_CHECK(!icu.uses_fast_path());
  const bool icu_matches = icu.Matches(name);
  if (!icu.compiled() || icu.gave_up()) FUZZ_CHECK(!icu_matches);
  const bool fastest_matches = fastest.Matches(name);
  if (fastest.gave_up()) FUZZ_CHECK(!fastest_matches);
  // Only an answer ICU settled says what the fast path must answer; the
  // budget counts the engine's moves, not time, so it runs out alike.
  if (icu.gave_up()) return 0;
  FUZZ_CHECK(!fastest.gave_up());
  FUZZ_CHECK(fastest_matches == icu_matches);
  // The matcher keeps state between names; a second call answers the same.
  FUZZ_CHECK(icu.Matches(name) == icu_matches);
  FUZZ_CHECK(!icu.gave_up());
  FUZZ_CHECK(fastest.Matches("") == icu.Matches(""));
  return 0;
}
