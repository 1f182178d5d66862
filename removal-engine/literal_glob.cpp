#include "removal-engine/literal_glob.h"

#include <cstring>

#include "removal-engine/path_names.h"

namespace quillfen {
namespace {

// The length of the line terminator that ends at |end| in |text|, or 0.
// CR LF counts as one.
std::size_t TerminatorBefore(std::string_view text, std::size_t end) {
  if (end == 0) return 0;
  unsigned char last = static_cast<unsigned char>(text[end - 1]);
  if (last == '\n') return end >= 2 && text[end - 2] == '\r' ? 2 : 1;
  if (last >= 0x0B && last <= 0x0D) return 1;  // VT, FF, CR.
  if (end >= 2 && last == 0x85 &&
      static_cast<unsigned char>(text[end - 2]) == 0xC2) {
    return 2;  // NEL
  }
  if (end >= 3 && (last == 0xA8 || last == 0xA9) &&
      static_cast<unsigned char>(text[end - 2]) == 0x80 &&
      static_cast<unsigned char>(text[end - 3]) == 0xE2) {
    return 3;  // LS, PS
  }
  return 0;
}

bool HoldsTerminator(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || (c >= 0x0B && c <= 0x0D)) return true;
    if (c == 0xC2 && i + 1 < text.size() &&
        static_cast<unsigned char>(text[i + 1]) == 0x85) {
      return true;
    }
    if (c == 0xE2 && i + 2 < text.size() &&
        static_cast<unsigned char>(text[i + 1]) == 0x80 &&
        (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
         static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::optional<LiteralGlob> LiteralGlob::ForEntry(std::string_view entry) {
  // Every character but these reads as itself in the expression ("." is
  // escaped on the way in).
  if (entry.find_first_of("\\^$|?+()[]{}") != std::string_view::npos ||
      HoldsTerminator(entry) || !IsValidUtf8(entry)) {
    return std::nullopt;
  }
  LiteralGlob glob;
  std::size_t start = 0;
  for (;;) {
    std::size_t star = entry.find('*', start);
    glob.pieces_.emplace_back(entry.substr(start, star - start));
    if (star == std::string_view::npos) break;
    start = star + 1;
  }
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  glob.prefix_decides_ =
      glob.pieces_.front().find(kReplacement) == std::string::npos;
  glob.suffix_decides_ =
      glob.pieces_.back().find(kReplacement) == std::string::npos;
  return glob;
}

bool LiteralGlob::SurelyMisses(std::string_view name) const {
  if (prefix_decides_ && !name.starts_with(pieces_.front())) return true;
  // A final line terminator may follow the last piece: "$" allows it.
  return suffix_decides_ && !name.ends_with(pieces_.back()) &&
         TerminatorBefore(name, name.size()) == 0 &&
         // Names ending in other than ASCII are left to the full test,
         // which reads what may be a broken terminator the careful way.
         (name.empty() || static_cast<unsigned char>(name.back()) < 0x80);
}

bool LiteralGlob::Matches(std::string_view name) const {
  // No piece holds a line terminator and no "*" spans one, so a name can
  // only match with its single final terminator left to "$".
  name.remove_suffix(TerminatorBefore(name, name.size()));
  if (HoldsTerminator(name)) return false;

  const std::string& first = pieces_.front();
  if (!name.starts_with(first)) return false;
  if (pieces_.size() == 1) return name.size() == first.size();
  const std::string& last = pieces_.back();
  if (name.size() < first.size() + last.size() || !name.ends_with(last)) {
    return false;
  }
  // The middle pieces, each as early as it fits: the earliest places leave
  // the most room for the rest.
  std::string_view middle =
      name.substr(first.size(), name.size() - first.size() - last.size());
  for (std::size_t i = 1; i + 1 < pieces_.size(); ++i) {
    const std::string& piece = pieces_[i];
    if (piece.empty()) continue;
    std::size_t at = middle.find(piece);
    if (at == std::string_view::npos) return false;
    middle.remove_prefix(at + piece.size());
  }
  return true;
}

}  // namespace quillfen
