#include "removal-engine/candidate_list.h"

#include <algorithm>
#include <utility>

namespace quillfen {

std::vector<std::string_view> CandidateList::TakeInRemovalOrder() {
  std::vector<std::pair<std::size_t, std::string_view>> keyed;
  keyed.reserve(paths_.size());
  for (std::string_view path : paths_) {
    auto depth =
        static_cast<std::size_t>(std::count(path.begin(), path.end(), '/'));
    keyed.emplace_back(depth, path);
  }
  paths_.clear();
  // Deeper paths first: an item inside a folder is always deeper than it.
  std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  keyed.erase(std::unique(keyed.begin(), keyed.end()), keyed.end());
  std::vector<std::string_view> ordered;
  ordered.reserve(keyed.size());
  for (const auto& entry : keyed) ordered.push_back(entry.second);
  return ordered;
}

}  // namespace quillfen
