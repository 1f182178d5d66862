#include "removal-service/volume_walker.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "removal-service/path_names.h"

namespace quillfen {

void VolumeWalker::Walk(int volume_fd, const Visitor& visit) {
  VolumeWalker walker(visit);
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
  const std::size_t base_length = path_.size();
  std::vector<std::string> subdirectories;
  DirectoryReader reader(fd, &buffer_);
  DirectoryEntry entry;
  while (reader.Next(&entry)) {
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
    if (!IsValidUtf8(entry.name)) continue;
    if (base_length != 0) path_.push_back('/');
    path_.append(entry.name);
    visit_(WalkedItem{path_, entry.name, is_directory});
    path_.resize(base_length);
    if (is_directory) subdirectories.emplace_back(entry.name);
  }
  for (const std::string& name : subdirectories) {
    int child = openat(fd, name.c_str(),
                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) continue;
    if (base_length != 0) path_.push_back('/');
    path_.append(name);
    WalkDirectory(child);
    path_.resize(base_length);
    close(child);
  }
}

}  // namespace quillfen
