#include "removal-engine/volume_walker.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/bus_string.h"

namespace quillfen {

std::string ChildPath(std::string_view folder_path, std::string_view name) {
  std::string path;
  path.reserve(folder_path.size() + 1 + name.size());
  path.append(folder_path);
  if (!path.empty()) path.push_back('/');
  path.append(name);
  return path;
}

void VolumeWalker::Walk(int volume_fd, WalkVisitor& visitor) {
  VolumeWalker walker(visitor);
  walker.WalkDirectory(volume_fd);
}

void VolumeWalker::RaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

void VolumeWalker::WalkDirectory(int fd) {
  // Only folder names outlive a batch: they are walked after it.
  std::vector<std::string> subfolders;
  std::vector<WalkEntry> batch;
  DirectoryReader reader(fd, &buffer_);
  DirectoryEntry entry;
  while (reader.ReadBatch()) {
    while (reader.NextInBatch(&entry)) {
      bool is_directory = entry.type == EntryType::kDirectory;
      if (entry.type == EntryType::kUnknown) {
        // Some file systems leave the type out; only then is a stat needed.
        struct stat status;
        std::string name(entry.name);
        if (fstatat(fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
          continue;
        }
        is_directory = S_ISDIR(status.st_mode);
      }
      if (!IsBusString(entry.name)) continue;
      batch.push_back(WalkEntry{entry.name, entry.inode, is_directory});
      if (is_directory) subfolders.emplace_back(entry.name);
    }
    // A batch's names live in the reader's buffer until the next batch.
    if (!batch.empty()) visitor_.VisitEntries(fd, path_, batch);
    batch.clear();
  }
  visitor_.FinishFolder(fd, path_);

  const std::size_t base_length = path_.size();
  for (const std::string& name : subfolders) {
    int child = openat(fd, name.c_str(),
                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child >= 0) {
      if (base_length != 0) path_.push_back('/');
      path_.append(name);
      WalkDirectory(child);
      path_.resize(base_length);
      close(child);
    }
    visitor_.LeaveFolder(fd, path_, name);
  }
}

}  // namespace quillfen
