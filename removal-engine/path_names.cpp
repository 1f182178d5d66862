#include "removal-engine/path_names.h"

#include <cstdint>

#include "protocol/bus_string.h"

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
    if (*p < 0x80) {
      ++p;
      continue;
    }
    std::uint32_t code_point;
    int length = ReadUtf8Character(p, end, &code_point);
    if (length == 0) return false;
    p += length;
  }
  return true;
}

}  // namespace quillfen
