// CandidateList: the "._" paths (relative to the volume) from find's
// listing that are left to remove once the walk has taken what it
// selected, put in the order they must go. A path may be added more than
// once; it comes out once. The list holds views: their text is the
// caller's, and must outlive them. Owned by one request on one thread.
#ifndef QUILLFEN_REMOVAL_ENGINE_CANDIDATE_LIST_H_
#define QUILLFEN_REMOVAL_ENGINE_CANDIDATE_LIST_H_

#include <string_view>
#include <vector>

namespace quillfen {

class CandidateList {
 public:
  void Add(std::string_view relative_path) { paths_.push_back(relative_path); }

  // The distinct paths, every item before any folder that holds it (so a
  // selected item inside a selected folder is removed, and reported, on its
  // own), and the items of one folder next to each other. Empties the list.
  std::vector<std::string_view> TakeInRemovalOrder();

 private:
  std::vector<std::string_view> paths_;
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_CANDIDATE_LIST_H_
