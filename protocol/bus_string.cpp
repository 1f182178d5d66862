#include "protocol/bus_string.h"

#include <cstdint>
#include <cstring>

namespace quillfen {
namespace {

constexpr std::string_view kNul = "a NUL character";
constexpr std::string_view kNoncharacter = "a Unicode noncharacter";
constexpr std::string_view kNotUtf8 = "text that isn’t valid UTF-8";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool IsNoncharacter(std::uint32_t code_point) {
  return (code_point >= 0xFDD0 && code_point <= 0xFDEF) ||
         (code_point & 0xFFFE) == 0xFFFE;
}

// The fault of the character at |p| and its length (1 for a bad byte).
std::string_view CharacterFault(const unsigned char* p,
                                const unsigned char* end, int* length) {
  std::uint32_t code_point = 0;
  *length = ReadUtf8Character(p, end, &code_point);
  if (*length == 0) {
    *length = 1;
    return kNotUtf8;
  }
  if (code_point == 0) return kNul;
  if (IsNoncharacter(code_point)) return kNoncharacter;
  return {};
}

// The length of the plain ASCII run at |p| without a NUL: the common case,
// eight bytes at a time.
std::size_t PlainRun(const unsigned char* p, const unsigned char* end) {
  const unsigned char* start = p;
  while (end - p >= 8) {
    std::uint64_t chunk;
    std::memcpy(&chunk, p, 8);
    // A high bit set, or a zero byte, ends the run.
    if ((chunk & 0x8080808080808080ull) != 0 ||
        ((chunk - 0x0101010101010101ull) & ~chunk & 0x8080808080808080ull) !=
            0) {
      break;
    }
    p += 8;
  }
  while (p < end && *p != 0 && *p < 0x80) ++p;
  return static_cast<std::size_t>(p - start);
}

std::string Quoted(std::string_view text) {
  return "“" + std::string(text) + "”";
}

std::string_view ValueFault(const Value& value) {
  if (const std::string* text = value.AsString()) return BusStringFault(*text);
  if (const Array* array = value.AsArray()) {
    for (const Value& element : *array) {
      std::string_view fault = ValueFault(element);
      if (!fault.empty()) return fault;
    }
  }
  if (const Dictionary* dictionary = value.AsDictionary()) {
    for (const auto& [key, element] : *dictionary) {
      std::string_view fault = BusStringFault(key);
      if (fault.empty()) fault = ValueFault(element);
      if (!fault.empty()) return fault;
    }
  }
  return {};
}

}  // namespace

void AppendUtf8Character(std::uint32_t code_point, std::string* out) {
  std::uint32_t c = code_point;
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

int ReadUtf8Character(const unsigned char* p, const unsigned char* end,
                      std::uint32_t* code_point) {
  unsigned char c = *p;
  if (c < 0x80) {
    *code_point = c;
    return 1;
  }
  int length;
  std::uint32_t value;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    value = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    value = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    value = c & 0x07;
  } else {
    return 0;
  }
  if (end - p < length) return 0;
  for (int i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (p[i] & 0x3F);
  }
  if ((length == 3 && value < 0x800) ||
      (length == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
      (value >= 0xD800 && value <= 0xDFFF)) {
    return 0;
  }
  *code_point = value;
  return length;
}

std::string_view BusStringFault(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    p += PlainRun(p, end);
    if (p >= end) break;
    int length;
    std::string_view fault = CharacterFault(p, end, &length);
    if (!fault.empty()) return fault;
    p += length;
  }
  return {};
}

std::string BusSafeText(std::string_view text) {
  if (IsBusString(text)) return std::string(text);
  std::string safe;
  safe.reserve(text.size() + 8);
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    int length;
    std::string_view fault = CharacterFault(p, end, &length);
    if (fault.empty()) {
      safe.append(reinterpret_cast<const char*>(p), length);
    } else {
      safe.append(kReplacement);
    }
    p += length;
  }
  return safe;
}

std::string DictionaryBusFault(const Dictionary& dictionary) {
  for (const auto& [key, value] : dictionary) {
    std::string_view fault = BusStringFault(key);
    if (!fault.empty()) return "a key holds " + std::string(fault);
    fault = ValueFault(value);
    if (!fault.empty()) return Quoted(key) + " holds " + std::string(fault);
  }
  return {};
}

std::string RequestBusRefusal(std::string_view fault) {
  return "The request can’t travel whole to the removal service: " +
         std::string(fault) + ".";
}

}  // namespace quillfen
