// PathIndex: finds a path among many that are kept elsewhere. It holds only
// their numbers, four bytes a path in an open-addressed table at most half
// full, and asks its owner for a number's path whenever it must compare or
// grow; so tens of thousands of paths already held once (a record's removed
// paths, a listing) can be looked up without a second copy of their text.
// The owner's paths must not change while they are in the index.
//
// Numbers are below 2^32 - 1. A plain value: one index belongs to one
// thread at a time.
#ifndef QUILLFEN_REMOVAL_ENGINE_PATH_INDEX_H_
#define QUILLFEN_REMOVAL_ENGINE_PATH_INDEX_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

namespace quillfen {

class PathIndex {
 public:
  // Adds |number|, whose path is |path_of(number)|, unless an equal path is
  // in the index already. Answers whether it was added.
  template <typename PathOf>
  bool Add(std::uint32_t number, const PathOf& path_of) {
    if ((size_ + 1) * 2 > slots_.size()) Grow(path_of);
    std::size_t slot = SlotOf(path_of(number), path_of);
    if (slots_[slot] != kEmpty) return false;
    slots_[slot] = number + 1;
    ++size_;
    return true;
  }

  template <typename PathOf>
  bool Contains(std::string_view path, const PathOf& path_of) const {
    return size_ != 0 && slots_[SlotOf(path, path_of)] != kEmpty;
  }

  std::size_t size() const { return size_; }

 private:
  static constexpr std::uint32_t kEmpty = 0;  // Else a number plus one.

  static std::size_t Hash(std::string_view path) {
    return std::hash<std::string_view>{}(path);
  }

  // The slot that holds a path equal to |path|, or the empty one where it
  // would go.
  template <typename PathOf>
  std::size_t SlotOf(std::string_view path, const PathOf& path_of) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = Hash(path) & mask;
    while (slots_[slot] != kEmpty && path_of(slots_[slot] - 1) != path) {
      slot = (slot + 1) & mask;
    }
    return slot;
  }

  template <typename PathOf>
  void Grow(const PathOf& path_of) {
    std::vector<std::uint32_t> old(std::max<std::size_t>(16, slots_.size() * 2),
                                   kEmpty);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (std::uint32_t entry : old) {
      if (entry == kEmpty) continue;
      std::size_t slot = Hash(path_of(entry - 1)) & mask;
      while (slots_[slot] != kEmpty) slot = (slot + 1) & mask;
      slots_[slot] = entry;
    }
  }

  std::vector<std::uint32_t> slots_;
  std::size_t size_ = 0;
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_PATH_INDEX_H_
