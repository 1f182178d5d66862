#include "platform/mount_table.h"

#include <limits.h>
#include <stdlib.h>

#include <memory>

#include "platform/unique_fd.h"

namespace quillfen {
namespace {

// The kernel writes space, tab, line feed and backslash in a path as
// three octal digits after a backslash.
std::string Unescape(std::string_view field) {
  std::string text;
  text.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      auto octal = [&](std::size_t at) {
        return field[at] >= '0' && field[at] <= '7';
      };
      if (octal(i + 1) && octal(i + 2) && octal(i + 3)) {
        text.push_back(static_cast<char>((field[i + 1] - '0') * 64 +
                                         (field[i + 2] - '0') * 8 +
                                         (field[i + 3] - '0')));
        i += 3;
        continue;
      }
    }
    text.push_back(field[i]);
  }
  return text;
}

// The space-separated fields of |line|.
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  while (!line.empty()) {
    std::size_t space = line.find(' ');
    if (space != 0) fields.push_back(line.substr(0, space));
    if (space == std::string_view::npos) break;
    line.remove_prefix(space + 1);
  }
  return fields;
}

}  // namespace

bool ParseMountInfoLine(std::string_view line, MountPoint* mount) {
  // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - TYPE ...
  std::vector<std::string_view> fields = Fields(line);
  std::size_t separator = 6;
  while (separator < fields.size() && fields[separator] != "-") ++separator;
  if (separator + 1 >= fields.size()) return false;
  mount->path = Unescape(fields[4]);
  mount->type = Unescape(fields[separator + 1]);
  return true;
}

Result<std::vector<MountPoint>> MountsBeneath(const std::string& folder) {
  std::unique_ptr<char, decltype(&free)> resolved(
      realpath(folder.c_str(), nullptr), &free);
  if (!resolved) return ErrnoError(errno);
  std::string prefix = resolved.get();
  if (prefix.back() != '/') prefix.push_back('/');
  Result<std::string> table = ReadWholeFile("/proc/self/mountinfo");
  if (!table) return table.error();
  std::vector<MountPoint> beneath;
  std::string_view rest = *table;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view()
                                         : rest.substr(end + 1);
    MountPoint mount;
    if (ParseMountInfoLine(line, &mount) && mount.path.size() > prefix.size() &&
        mount.path.starts_with(prefix)) {
      beneath.push_back(std::move(mount));
    }
  }
  return beneath;
}

}  // namespace quillfen
