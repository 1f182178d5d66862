#include "client/code_point_set.h"

namespace quillfen {

CodePointSet CodePointSet::Of(char32_t c) {
  CodePointSet set;
  set.Add(c);
  return set;
}

CodePointSet CodePointSet::All() {
  CodePointSet set;
  set.Complement();
  return set;
}

CodePointSet CodePointSet::Between(char32_t first, char32_t last) {
  CodePointSet set;
  for (char32_t c = first; c <= last; ++c) set.Add(c);
  set.Remove(0);
  return set;
}

bool CodePointSet::Empty() const {
  for (std::uint64_t word : words_) {
    if (word != 0) return false;
  }
  return true;
}

void CodePointSet::AddAll(const CodePointSet& other) {
  for (std::size_t i = 0; i < words_.size(); ++i) words_[i] |= other.words_[i];
}

void CodePointSet::RemoveAll(const CodePointSet& other) {
  for (std::size_t i = 0; i < words_.size(); ++i) words_[i] &= ~other.words_[i];
}

void CodePointSet::RetainAll(const CodePointSet& other) {
  for (std::size_t i = 0; i < words_.size(); ++i) words_[i] &= other.words_[i];
}

void CodePointSet::Complement() {
  for (std::uint64_t& word : words_) word = ~word;
  Remove(0);
}

std::vector<std::pair<char32_t, char32_t>> CodePointSet::Runs() const {
  std::vector<std::pair<char32_t, char32_t>> runs;
  bool open = false;
  for (std::size_t i = 0; i < words_.size(); ++i) {
    std::uint64_t word = words_[i];
    // Whole words that continue the present state need no look inside.
    if (word == (open ? ~std::uint64_t{0} : 0)) continue;
    for (int bit = 0; bit < 64; ++bit) {
      bool in = (word >> bit) & 1;
      auto c = static_cast<char32_t>(i * 64 + bit);
      if (in && !open) runs.emplace_back(c, c);
      if (!in && open) runs.back().second = c - 1;
      open = in;
    }
  }
  if (open) runs.back().second = kLast;
  return runs;
}

}  // namespace quillfen
