#include "removal-engine/directory_reader.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>

namespace quillfen {

bool DirectoryReader::ReadBatch() {
  for (;;) {
    ssize_t n = getdents64(fd_, buffer_, Buffer::kSize);
    if (n < 0 && errno == EINTR) continue;
    filled_ = n > 0 ? static_cast<std::size_t>(n) : 0;
    offset_ = 0;
    error_ = n < 0 ? errno : 0;
    return n > 0;
  }
}

bool DirectoryReader::NextInBatch(DirectoryEntry* entry) {
  while (offset_ < filled_) {
    auto* record = reinterpret_cast<dirent64*>(buffer_ + offset_);
    offset_ += record->d_reclen;
    const char* name = record->d_name;
    if (name[0] == '.' &&
        (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
      continue;
    }
    entry->name = std::string_view(name, std::strlen(name));
    entry->inode = record->d_ino;
    switch (record->d_type) {
      case DT_DIR:
        entry->type = EntryType::kDirectory;
        break;
      case DT_UNKNOWN:
        entry->type = EntryType::kUnknown;
        break;
      default:
        entry->type = EntryType::kOther;
        break;
    }
    return true;
  }
  return false;
}

}  // namespace quillfen
