#include "platform/json_object_text.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>
#include <utility>

#include "protocol/bus_string.h"

namespace quillfen {
namespace {

using Json = nlohmann::json;

// Walks JSON text by the grammar of RFC 8259. Containers are tracked on an
// explicit stack, so nesting costs memory, never the call stack.
class Scanner {
 public:
  Scanner(std::string_view text, std::size_t start)
      : text_(text), pos_(start) {}

  std::size_t pos() const { return pos_; }
  bool AtEnd() const { return pos_ == text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }

  void SkipSpace() {
    while (!AtEnd() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                        text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }
  bool Consume(char c) {
    if (Peek() != c) return false;
    ++pos_;
    return true;
  }

  // A string, quotes included; its bytes must be UTF-8.
  bool String() {
    if (!Consume('"')) return false;
    while (!AtEnd()) {
      unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        if (!Escape()) return false;
      } else if (c < 0x80) {
        ++pos_;
      } else if (!Utf8Sequence()) {
        return false;
      }
    }
    return false;
  }

  // One whole value, however deeply it nests.
  bool Value() {
    std::vector<char> open;  // '{' or '[' for each container entered.
    for (;;) {
      SkipSpace();
      switch (Peek()) {
        case '{':
          ++pos_;
          SkipSpace();
          if (!Consume('}')) {
            if (!MemberStart()) return false;
            open.push_back('{');
            continue;  // On to its first value.
          }
          break;
        case '[':
          ++pos_;
          SkipSpace();
          if (!Consume(']')) {
            open.push_back('[');
            continue;
          }
          break;
        case '"':
          if (!String()) return false;
          break;
        case 't':
          if (!Literal("true")) return false;
          break;
        case 'f':
          if (!Literal("false")) return false;
          break;
        case 'n':
          if (!Literal("null")) return false;
          break;
        default:
          if (!Number()) return false;
      }
      // After a value: close what ends here, or go on to the next element.
      for (;;) {
        if (open.empty()) return true;
        SkipSpace();
        if (Consume(',')) {
          if (open.back() == '{' && !MemberStart()) return false;
          break;
        }
        if (!Consume(open.back() == '{' ? '}' : ']')) return false;
        open.pop_back();
      }
    }
  }

  // A member's key and colon, with the white space around them.
  bool MemberStart() {
    SkipSpace();
    if (!String()) return false;
    SkipSpace();
    return Consume(':');
  }

 private:
  bool Literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }
  bool Digits() {
    std::size_t start = pos_;
    while (!AtEnd() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    return pos_ > start;
  }
  // Any size and precision: the grammar puts no limit on either.
  bool Number() {
    Consume('-');
    if (!Consume('0') && !Digits()) return false;
    if (Consume('.') && !Digits()) return false;
    if (Peek() == 'e' || Peek() == 'E') {
      ++pos_;
      if (!Consume('+')) Consume('-');
      if (!Digits()) return false;
    }
    return true;
  }
  bool Escape() {
    ++pos_;  // The backslash.
    if (AtEnd()) return false;
    char c = text_[pos_++];
    if (std::string_view("\"\\/bfnrt").find(c) != std::string_view::npos) {
      return true;
    }
    if (c != 'u') return false;
    for (int i = 0; i < 4; ++i, ++pos_) {
      if (AtEnd() || !std::isxdigit(static_cast<unsigned char>(text_[pos_]))) {
        return false;
      }
    }
    return true;
  }
  // A well-formed UTF-8 sequence of two to four bytes: no overlong forms,
  // no surrogates, nothing past U+10FFFF.
  bool Utf8Sequence() {
    const auto* p = reinterpret_cast<const unsigned char*>(text_.data());
    std::uint32_t code_point;
    int length = ReadUtf8Character(p + pos_, p + text_.size(), &code_point);
    pos_ += length;
    return length > 0;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

unsigned Hex4(std::string_view text, std::size_t at) {
  unsigned value = 0;
  for (std::size_t i = at; i < at + 4 && i < text.size(); ++i) {
    char c = text[i];
    value = value * 16 + (c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  return value;
}

// The key a member's text names. An escape that names no character (half
// a surrogate pair) leaves the text as written, which no key of this
// system matches.
std::string KeyOf(std::string_view quoted) {
  std::optional<std::string> key = JsonObjectText::DecodeString(quoted);
  return key ? std::move(*key) : std::string(quoted);
}

}  // namespace

Result<JsonObjectText> JsonObjectText::Parse(std::string text) {
  JsonObjectText object;
  object.text_ = std::move(text);
  std::string_view all = object.text_;
  // A byte order mark is tolerated, as JSON readers commonly do.
  Scanner scanner(all, all.starts_with("\xEF\xBB\xBF") ? 3 : 0);
  auto fail = [&](const char* what) {
    return ErrorMessage(std::string(what) + " at byte " +
                        std::to_string(scanner.pos()));
  };
  scanner.SkipSpace();
  if (!scanner.Consume('{')) return fail("not a JSON object");
  scanner.SkipSpace();
  if (!scanner.Consume('}')) {
    for (;;) {
      scanner.SkipSpace();
      Member member;
      member.key_text.offset = scanner.pos();
      if (!scanner.String()) return fail("not JSON");
      member.key_text.size = scanner.pos() - member.key_text.offset;
      scanner.SkipSpace();
      if (!scanner.Consume(':')) return fail("not JSON");
      scanner.SkipSpace();
      member.value_text.offset = scanner.pos();
      if (!scanner.Value()) return fail("not JSON");
      member.value_text.size = scanner.pos() - member.value_text.offset;
      member.key = KeyOf(object.View(member.key_text));
      object.members_.push_back(std::move(member));
      scanner.SkipSpace();
      if (scanner.Consume('}')) break;
      if (!scanner.Consume(',')) return fail("not JSON");
    }
  }
  scanner.SkipSpace();
  if (!scanner.AtEnd()) return fail("text after the JSON object");
  return object;
}

std::optional<std::string> JsonObjectText::DecodeString(
    std::string_view quoted) {
  std::string out;
  out.reserve(quoted.size());
  const std::size_t end = quoted.size() - 1;  // The closing quote.
  std::size_t i = 1;
  while (i < end) {
    std::size_t escape = std::min(quoted.find('\\', i), end);
    out.append(quoted.substr(i, escape - i));
    if (escape == end) break;
    const char c = quoted[escape + 1];
    i = escape + 2;
    switch (c) {
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        unsigned cp = Hex4(quoted, i);
        i += 4;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return std::nullopt;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          if (quoted.substr(i, 2) != "\\u") return std::nullopt;
          unsigned low = Hex4(quoted, i + 2);
          if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
          i += 6;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        AppendUtf8Character(cp, &out);
        break;
      }
      default:  // '"', '\\' and '/' stand for themselves.
        out += c;
    }
  }
  return out;
}

std::optional<std::string_view> JsonObjectText::Find(
    std::string_view key) const {
  for (auto member = members_.rbegin(); member != members_.rend(); ++member) {
    if (member->key != key) continue;
    if (member->set_value_text)
      return std::string_view(*member->set_value_text);
    return View(member->value_text);
  }
  return std::nullopt;
}

void JsonObjectText::Set(std::string_view key, std::string value_text) {
  auto first = std::find_if(members_.begin(), members_.end(),
                            [&](const Member& m) { return m.key == key; });
  if (first == members_.end()) {
    members_.push_back({std::string(key), {}, {}, std::nullopt, std::nullopt});
    first = members_.end() - 1;
  } else {
    members_.erase(
        std::remove_if(first + 1, members_.end(),
                       [&](const Member& m) { return m.key == key; }),
        members_.end());
  }
  first->set_key_text =
      Json(std::string(key))
          .dump(-1, ' ', false, Json::error_handler_t::replace);
  first->set_value_text = std::move(value_text);
}

void JsonObjectText::Erase(std::string_view key) {
  members_.erase(std::remove_if(members_.begin(), members_.end(),
                                [&](const Member& m) { return m.key == key; }),
                 members_.end());
}

std::vector<std::string_view> JsonObjectText::Pieces() const {
  std::vector<std::string_view> pieces;
  pieces.reserve(4 * members_.size() + 2);
  pieces.push_back("{");
  for (const Member& m : members_) {
    if (pieces.size() > 1) pieces.push_back(",");
    pieces.push_back(m.set_key_text ? std::string_view(*m.set_key_text)
                                    : View(m.key_text));
    pieces.push_back(":");
    pieces.push_back(m.set_value_text ? std::string_view(*m.set_value_text)
                                      : View(m.value_text));
  }
  pieces.push_back("}");
  return pieces;
}

}  // namespace quillfen
