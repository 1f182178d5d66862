#include "removal-engine/path_names.h"

#include <cstdint>

namespace quillfen {

std::string_view NameExtension(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

std::string_view LastComponent(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string NormalizeSlashes(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out.push_back(c);
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string JoinVolumePath(std::string_view volume,
                           std::string_view relative_path) {
  std::string path;
  path.reserve(volume.size() + 1 + relative_path.size());
  path.append(volume);
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(relative_path);
  return path;
}

bool IsValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    // Plain ASCII is by far the common case; skip it eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t chunk;
      __builtin_memcpy(&chunk, p, 8);
      if (chunk & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p >= end) break;
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int length;
    std::uint32_t code_point;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      code_point = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      code_point = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      code_point = c & 0x07;
    } else {
      return false;
    }
    if (end - p < length) return false;
    for (int i = 1; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      code_point = (code_point << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and values past U+10FFFF.
    if ((length == 3 && code_point < 0x800) ||
        (length == 4 && (code_point < 0x10000 || code_point > 0x10FFFF)) ||
        (code_point >= 0xD800 && code_point <= 0xDFFF)) {
      return false;
    }
    p += length;
  }
  return true;
}

}  // namespace quillfen
