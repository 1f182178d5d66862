#include "client/path_listing.h"

#include <cstdio>

namespace quillfen {

std::string EscapeControlCharacters(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    char code[8];
    if (byte == '\\') {
      escaped += "\\\\";
    } else if (byte == '\n') {
      escaped += "\\n";
    } else if (byte == '\t') {
      escaped += "\\t";
    } else if (byte == '\r') {
      escaped += "\\r";
    } else if (byte < 0x20 || byte == 0x7f) {
      std::snprintf(code, sizeof code, "\\x%02X", byte);
      escaped += code;
    } else if (byte == 0xc2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      // U+0080 to U+009F, two bytes in UTF-8.
      std::snprintf(code, sizeof code, "\\u%04X",
                    static_cast<unsigned char>(text[++i]));
      escaped += code;
    } else {
      escaped.push_back(text[i]);
    }
  }
  return escaped;
}

void WritePathLines(const Array& paths, std::ostream& out) {
  for (const Value& path : paths) {
    if (path.AsString())
      out << EscapeControlCharacters(*path.AsString()) << '\n';
  }
}

void WriteNulTerminatedPaths(const Array& paths, std::ostream& out) {
  for (const Value& path : paths) {
    if (path.AsString()) out << *path.AsString() << '\0';
  }
}

}  // namespace quillfen
