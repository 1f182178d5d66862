// JsonObjectText: the text of one JSON object, held as its members' own
// text. A shared domain belongs to several programs, and each changes only
// its own keys, so every other member is written back as the
// very bytes it was read as: numbers of any size or precision, escapes and
// order stay as they were. Reading checks the whole text against the JSON
// grammar (UTF-8 strings included) once, without recursion, so any nesting
// depth is read; values are parsed only when asked for.
//
// A key that appears more than once is kept as often as it appears; its
// value reads as the last one, as common JSON readers take it. Setting or
// removing a key replaces every one of its members.
//
// Not thread-safe: one owner at a time.
#ifndef QUILLFEN_PLATFORM_JSON_OBJECT_TEXT_H_
#define QUILLFEN_PLATFORM_JSON_OBJECT_TEXT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace quillfen {

class JsonObjectText {
 public:
  // An empty object.
  JsonObjectText() = default;

  // The object in |text|; an error says where the text stops being JSON
  // or that its top level is not an object.
  static Result<JsonObjectText> Parse(std::string text);

  // The text of |key|'s value, or nothing when the key is absent.
  std::optional<std::string_view> Find(std::string_view key) const;
  // Makes |value_text| (valid JSON) the value of |key|: in the place of its
  // first member, or after the last member when it has none.
  void Set(std::string_view key, std::string value_text);
  void Erase(std::string_view key);

  // The object's text in pieces, viewed where this object holds them,
  // valid while it is unchanged: members in order, each as it was read or
  // set, with no white space between them. A domain holding a reply of
  // many paths is written out without being made whole once more.
  std::vector<std::string_view> Pieces() const;

  // The characters of a JSON string as Find() answers it (quotes and
  // escapes included, valid), or nothing when an escape names half of a
  // surrogate pair, which no UTF-8 text can hold. Much faster than a
  // general parser on a long string, such as a reply of many paths.
  static std::optional<std::string> DecodeString(std::string_view quoted);

 private:
  struct Span {
    std::size_t offset = 0, size = 0;
  };
  struct Member {
    std::string key;  // Unescaped, for looking it up.
    Span key_text;    // As read, quotes included; into text_.
    Span value_text;
    // The key's and the value's text when the member was set here.
    std::optional<std::string> set_key_text, set_value_text;
  };

  std::string_view View(Span span) const {
    return std::string_view(text_).substr(span.offset, span.size);
  }

  std::string text_;
  std::vector<Member> members_;
};

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_JSON_OBJECT_TEXT_H_
