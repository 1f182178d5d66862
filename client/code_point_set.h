// CodePointSet: a set of Unicode code points, U+0001 to U+10FFFF (names
// hold no NUL), kept as one bit per code point: union, difference and
// complement cost a few thousand word operations whatever the set, which
// is what reading a glob's brackets and folding case take; Runs() gives
// the set back as runs to be written out. A plain value: one thread at a
// time, like any other.
#ifndef QUILLFEN_CLIENT_CODE_POINT_SET_H_
#define QUILLFEN_CLIENT_CODE_POINT_SET_H_

#include <cstdint>
#include <utility>
#include <vector>

namespace quillfen {

class CodePointSet {
 public:
  static constexpr char32_t kLast = 0x10FFFF;

  CodePointSet() : words_((kLast >> 6) + 1) {}
  static CodePointSet Of(char32_t c);
  // Every code point.
  static CodePointSet All();
  // |first| to |last|, both included.
  static CodePointSet Between(char32_t first, char32_t last);

  void Add(char32_t c) { words_[c >> 6] |= Bit(c); }
  void Remove(char32_t c) { words_[c >> 6] &= ~Bit(c); }
  bool Contains(char32_t c) const { return (words_[c >> 6] & Bit(c)) != 0; }
  bool Empty() const;

  void AddAll(const CodePointSet& other);
  void RemoveAll(const CodePointSet& other);
  void RetainAll(const CodePointSet& other);
  void Complement();

  // The set as runs of consecutive code points, first and last, in order.
  std::vector<std::pair<char32_t, char32_t>> Runs() const;

 private:
  static std::uint64_t Bit(char32_t c) { return std::uint64_t{1} << (c & 63); }
  std::vector<std::uint64_t> words_;
};

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_CODE_POINT_SET_H_
