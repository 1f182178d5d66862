// PathList: many paths kept one after another in a single buffer, with the
// end of each, rather than as a string apiece. A "._" listing of a large
// volume holds tens of thousands of paths; a string apiece would cost a
// header and an allocation each on top of the text, and the listing is
// only ever filled, then read.
//
// A plain value: one list belongs to one thread at a time.
#ifndef QUILLFEN_REMOVAL_ENGINE_PATH_LIST_H_
#define QUILLFEN_REMOVAL_ENGINE_PATH_LIST_H_

#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace quillfen {

class PathList {
 public:
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    Iterator() = default;
    std::string_view operator*() const { return (*list_)[index_]; }
    Iterator& operator++() {
      ++index_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++index_;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) {
      return a.index_ == b.index_;
    }

   private:
    friend class PathList;
    Iterator(const PathList* list, std::size_t index)
        : list_(list), index_(index) {}
    const PathList* list_ = nullptr;
    std::size_t index_ = 0;
  };

  void Add(std::string_view path) {
    text_.append(path);
    ends_.push_back(text_.size());
  }

  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }

  // Valid until the next Add().
  std::string_view operator[](std::size_t index) const {
    std::size_t begin = index == 0 ? 0 : ends_[index - 1];
    return std::string_view(text_).substr(begin, ends_[index] - begin);
  }

  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, ends_.size()); }

 private:
  std::string text_;
  std::vector<std::size_t> ends_;
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_PATH_LIST_H_
