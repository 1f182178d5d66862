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
#include "removal-engine/wildcard_pattern.h"

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
  const bool fastest_matches = fastest.Matches(name);
  if (!fastest.compiled() || fastest.gave_up()) FUZZ_CHECK(!fastest_matches);
  if (!fastest.uses_fast_path()) {
    // ICU alone: there is nothing to compare with, but the matcher keeps
    // state between names, and the next name must not see it.
    if (fastest.gave_up()) return 0;
    FUZZ_CHECK(fastest.Matches(name) == fastest_matches);
    FUZZ_CHECK(!fastest.gave_up());
    return 0;
  }

  WildcardPattern icu(entry, WildcardPattern::Engine::kIcu);
  FUZZ_CHECK(!icu.uses_fast_path() && icu.compiled());
  const bool icu_matches = icu.Matches(name);
  // Only an answer ICU settled says what the fast path must answer. The
  // budget counts the engine's moves, not time, so when both read the
  // name with ICU they run out alike.
  if (icu.gave_up()) {
    FUZZ_CHECK(!icu_matches);
    return 0;
  }
  FUZZ_CHECK(!fastest.gave_up());
  FUZZ_CHECK(fastest_matches == icu_matches);
  FUZZ_CHECK(fastest.Matches("") == icu.Matches(""));
  return 0;
}
