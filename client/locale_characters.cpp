#include "client/locale_characters.h"

#include <locale.h>
#include <wctype.h>

#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace quillfen {
namespace {

locale_t Utf8Locale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C.UTF-8", nullptr);
  return locale;
}

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// The characters whose folded case differs from them, with it: some
// fourteen hundred of them.
const std::vector<std::pair<char32_t, char32_t>>& FoldedCharacters() {
  static const std::vector<std::pair<char32_t, char32_t>> folded = [] {
    std::vector<std::pair<char32_t, char32_t>> table;
    for (char32_t c = 1; c <= CodePointSet::kLast; ++c) {
      if (IsSurrogate(c)) continue;
      char32_t lower = FoldedCase(c);
      if (lower != c) table.emplace_back(c, lower);
    }
    return table;
  }();
  return folded;
}

}  // namespace

bool HaveUtf8Locale() { return Utf8Locale() != locale_t{}; }

char32_t FoldedCase(char32_t c) {
  return static_cast<char32_t>(towlower_l(c, Utf8Locale()));
}

CodePointSet CharactersFoldingInto(const CodePointSet& folded) {
  CodePointSet set = folded;
  for (auto [c, lower] : FoldedCharacters()) {
    if (folded.Contains(lower)) {
      set.Add(c);
    } else {
      set.Remove(c);
    }
  }
  return set;
}

const CodePointSet* ClassMembers(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<CodePointSet>> classes;
  std::lock_guard lock(mutex);
  auto found = classes.find(name);
  if (found != classes.end()) return found->second.get();
  wctype_t type = wctype_l(name.c_str(), Utf8Locale());
  std::unique_ptr<CodePointSet> members;
  if (type != 0) {
    members = std::make_unique<CodePointSet>();
    for (char32_t c = 1; c <= CodePointSet::kLast; ++c) {
      if (!IsSurrogate(c) && iswctype_l(c, type, Utf8Locale())) {
        members->Add(c);
      }
    }
  }
  return classes.emplace(name, std::move(members)).first->second.get();
}

}  // namespace quillfen
