#include "bench/sample_volume.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "base/error_text.h"

namespace quillfen::bench {
namespace {

// splitmix64: tiny, fast and the same everywhere, unlike the standard
// library's distributions, whose output may differ between versions.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}

  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }

  // The bias of a modulo is far below anything a benchmark could notice.
  std::size_t Below(std::size_t bound) {
    return static_cast<std::size_t>(Next() % bound);
  }

  bool PerMille(unsigned chance) { return Below(1000) < chance; }

  template <typename T, std::size_t N>
  const T& Pick(const std::array<T, N>& items) {
    return items[Below(N)];
  }

 private:
  std::uint64_t state_;
};

// A folder's own stream, so that its files don't depend on how many random
// numbers the folders before it used.
std::uint64_t FolderSeed(std::uint64_t seed, std::size_t index) {
  Random mixer(seed ^ (0xd1b54a32d192ed03ULL * (index + 1)));
  return mixer.Next();
}

// Folder names never hold a dot, so none has an extension and none can be
// mistaken for a file of the same folder, whose names all do.
constexpr std::array<std::string_view, 20> kFolderWords = {
    "Photos",           "Documents",  "Projects",     "Musik",    "Übungen",
    "résumés",          "日本",       "Holiday 2019", "src",      "Archive",
    "Family pictures",  "Scans",      "Rechnungen",   "Vidéos",   "Downloads",
    "Work in progress", "Été à Nice", "Bücher",       "Sketches", "Old stuff"};
constexpr std::array<std::string_view, 5> kAppleDoubleWords = {
    "Photos", "Résumé", "Library", "Spotlight", "日本 memo"};
constexpr std::array<std::string_view, 4> kTemporaryWords = {
    "render cache", "upload", "Sitzung", "export 日本"};
constexpr std::array<std::string_view, 2> kInnerWords = {"inner", "nested ü"};

// Each ends with its separator from the number that follows.
constexpr std::array<std::string_view, 16> kFileStems = {
    "IMG_",       "DSC ",     "Holiday photo ", "Übersicht ",
    "café menu ", "résumé ",  "日本 旅行 ",     "naïve draft ",
    "report ",    "notes ",   "backup.tmp ",    "song ",
    "clip ",      "invoice ", "Straße ",        "plan-"};

struct Extension {
  std::string_view text;
  unsigned per_mille;
};
// "tmp" is selected, "TMP" is not: extensions are compared exactly.
constexpr std::array<Extension, 15> kExtensions = {{{"jpg", 200},
                                                    {"png", 100},
                                                    {"pdf", 100},
                                                    {"txt", 100},
                                                    {"docx", 70},
                                                    {"xlsx", 50},
                                                    {"mp3", 80},
                                                    {"mov", 40},
                                                    {"c", 50},
                                                    {"h", 50},
                                                    {"md", 50},
                                                    {"json", 48},
                                                    {"zip", 40},
                                                    {"tmp", 20},
                                                    {"TMP", 2}}};

std::string_view PickExtension(Random& random) {
  std::size_t roll = random.Below(1000);
  for (const Extension& extension : kExtensions) {
    if (roll < extension.per_mille) return extension.text;
    roll -= extension.per_mille;
  }
  return kExtensions.front().text;
}

// At least four digits, so that names sort and look like a camera's.
std::string Padded(std::size_t number) {
  std::string digits = std::to_string(number);
  if (digits.size() < 4) digits.insert(0, 4 - digits.size(), '0');
  return digits;
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  path.append(folder).append("/").append(name);
  return path;
}

std::string Why(std::string_view what, const std::string& path, int error) {
  return std::string(what) + " " + path + ": " + SystemErrorText(error);
}

bool IsEmptyDirectory(const std::string& directory) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return false;
  bool empty = true;
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 &&
        std::strcmp(entry->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  closedir(dir);
  return empty;
}

// The kind (DT_*) of |name| in |dir|, asked of the file system only when
// the folder's listing didn't say.
unsigned char KindAt(int dir, const std::string& name, unsigned char listed) {
  if (listed != DT_UNKNOWN) return listed;
  struct stat status;
  if (fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return DT_UNKNOWN;
  }
  if (S_ISDIR(status.st_mode)) return DT_DIR;
  return S_ISREG(status.st_mode) ? DT_REG : DT_UNKNOWN;
}

// Every name in the folder |fd| with its kind as listed (DT_UNKNOWN where
// the file system doesn't tell); |fd| stays open and usable.
bool ReadKinds(int fd, std::unordered_map<std::string, unsigned char>* kinds) {
  int copy = dup(fd);
  if (copy < 0) return false;
  DIR* dir = fdopendir(copy);
  if (dir == nullptr) {
    close(copy);
    return false;
  }
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    kinds->emplace(entry->d_name, entry->d_type);
  }
  bool read_all = errno == 0;
  closedir(dir);
  return read_all;
}

}  // namespace

SampleVolume SampleVolume::Plan(std::uint64_t seed, std::size_t entries) {
  using Kind = SampleFolder::Kind;
  SampleVolume volume;
  volume.seed_ = seed;
  if (entries == 0) return volume;
  std::vector<SampleFolder>& folders = volume.folders_;
  Random random(seed);

  auto add = [&folders](std::ptrdiff_t parent, std::string name, Kind kind) {
    SampleFolder folder;
    folder.relative_path =
        parent < 0
            ? name
            : JoinPath(folders[static_cast<std::size_t>(parent)].relative_path,
                       name);
    folder.name = std::move(name);
    folder.parent = parent;
    folder.kind = kind;
    folders.push_back(std::move(folder));
    return static_cast<std::ptrdiff_t>(folders.size() - 1);
  };

  // A random recursive tree: depth grows with the logarithm of its size,
  // as in real volumes, with a tenth of the folders at the top.
  const std::size_t regular = std::max<std::size_t>(1, entries / 100);
  for (std::size_t i = 0; i < regular; ++i) {
    std::ptrdiff_t parent = -1;
    if (i > 0 && !random.PerMille(100)) {
      parent = static_cast<std::ptrdiff_t>(random.Below(i));
    }
    add(parent,
        std::string(random.Pick(kFolderWords)) + " " + std::to_string(i),
        Kind::kRegular);
  }

  // Below a thousand entries there is no room for the rarer shapes.
  if (entries >= 1000) {
    const std::size_t chains = 1 + regular / 2500;
    for (std::size_t j = 0; j < chains; ++j) {
      std::size_t depth = 40 + random.Below(61);
      std::ptrdiff_t parent =
          static_cast<std::ptrdiff_t>(random.Below(regular));
      parent = add(parent, "deep 日本 " + std::to_string(j), Kind::kChain);
      for (std::size_t level = 2; level <= depth; ++level) {
        parent = add(parent, "level " + std::to_string(level), Kind::kChain);
      }
    }

    bool made_apple_double = false;
    bool made_temporary = false;
    auto add_special = [&](std::size_t holder, Kind kind) {
      auto parent = static_cast<std::ptrdiff_t>(holder);
      std::string number = " " + std::to_string(folders.size());
      std::ptrdiff_t special =
          kind == Kind::kAppleDouble
              ? add(parent,
                    "._" + std::string(random.Pick(kAppleDoubleWords)) + number,
                    kind)
              : add(parent,
                    std::string(random.Pick(kTemporaryWords)) + number + ".tmp",
                    kind);
      if (random.PerMille(300)) {
        add(special, std::string(random.Pick(kInnerWords)), Kind::kInner);
      }
    };
    for (std::size_t i = 0; i < regular; ++i) {
      if (random.PerMille(20)) {
        add_special(i, Kind::kAppleDouble);
        made_apple_double = true;
      }
      if (random.PerMille(5)) {
        add_special(i, Kind::kTemporary);
        made_temporary = true;
      }
    }
    // Even a small volume shows every shape the removal must handle.
    if (!made_apple_double) add_special(0, Kind::kAppleDouble);
    if (!made_temporary) add_special(0, Kind::kTemporary);
  }

  // The small folders get a few files each; the rest are spread evenly
  // over the regular folders.
  std::size_t files_left = entries - folders.size();
  volume.file_count_ = files_left;
  for (SampleFolder& folder : folders) {
    std::size_t wanted = 0;
    switch (folder.kind) {
      case Kind::kRegular:
        continue;
      case Kind::kChain:
        wanted = random.Below(4);
        break;
      case Kind::kInner:
        wanted = 1 + random.Below(2);
        break;
      case Kind::kAppleDouble:
      case Kind::kTemporary:
        wanted = 1 + random.Below(4);
        break;
    }
    folder.file_count = std::min(wanted, files_left);
    files_left -= folder.file_count;
  }
  for (; files_left > 0; --files_left) {
    ++folders[random.Below(regular)].file_count;
  }
  return volume;
}

std::vector<std::string> SampleVolume::FileNames(std::size_t index) const {
  const std::size_t count = folders_.at(index).file_count;
  Random random(FolderSeed(seed_, index));
  std::vector<std::string> names;
  names.reserve(count);
  auto maybe = [&](unsigned per_mille, std::string_view name) {
    if (names.size() < count && random.PerMille(per_mille)) {
      names.emplace_back(name);
    }
  };
  maybe(600, ".DS_Store");
  maybe(50, "Thumbs.db");
  // Near misses: an engine, or a command, that selects any of these is
  // wrong. "..tmp" and "._" are selected: the first has the extension
  // "tmp", the second begins "._".
  maybe(10, ".tmp");
  maybe(5, "..tmp");
  maybe(10, "thumbs.db");
  maybe(5, "Thumbs.db.bak");
  maybe(20, ".hidden");
  maybe(2, "._");
  // About one entry in twenty is a "._" companion: 53 in 1053.
  for (std::size_t k = 0; names.size() < count; ++k) {
    std::string name = std::string(random.Pick(kFileStems)) + Padded(k) + "." +
                       std::string(PickExtension(random));
    bool companion = random.PerMille(53);
    names.push_back(name);
    if (companion && names.size() < count) names.push_back("._" + name);
  }
  return names;
}

std::vector<std::string> SampleVolume::AllNames() const {
  std::vector<std::string> names;
  names.reserve(entry_count());
  for (const SampleFolder& folder : folders_) names.push_back(folder.name);
  for (std::size_t i = 0; i < folders_.size(); ++i) {
    for (std::string& name : FileNames(i)) names.push_back(std::move(name));
  }
  return names;
}

std::vector<std::string> SampleVolume::SortedPaths() const {
  std::vector<std::string> paths;
  paths.reserve(entry_count());
  for (std::size_t i = 0; i < folders_.size(); ++i) {
    paths.push_back(folders_[i].relative_path);
    for (const std::string& name : FileNames(i)) {
      paths.push_back(JoinPath(folders_[i].relative_path, name));
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

SampleVolume::Made SampleVolume::Materialize(
    const std::string& directory) const {
  return Make(directory, /*restore=*/false);
}

SampleVolume::Made SampleVolume::Restore(const std::string& directory) const {
  return Make(directory, /*restore=*/true);
}

SampleVolume::Made SampleVolume::Make(const std::string& directory,
                                      bool restore) const {
  Made made;
  if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
    made.error = Why("can't make", directory, errno);
    return made;
  }
  if (!restore && !IsEmptyDirectory(directory)) {
    made.error = directory + " isn't an empty folder";
    return made;
  }
  int root = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) {
    made.error = Why("can't open", directory, errno);
    return made;
  }
  // Folders come after their parents, so each can be made from the root in
  // one call, and filled while its descriptor is open.
  for (std::size_t i = 0; i < folders_.size(); ++i) {
    const std::string& path = folders_[i].relative_path;
    bool existed = false;
    if (mkdirat(root, path.c_str(), 0755) == 0) {
      ++made.folders;
    } else if (errno == EEXIST && restore &&
               KindAt(root, path, DT_UNKNOWN) == DT_DIR) {
      existed = true;
    } else {
      made.error = errno == EEXIST && restore
                       ? path + " is there, but not as a folder"
                       : Why("can't make", path, errno);
      break;
    }
    int fd = openat(root, path.c_str(),
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      made.error = Why("can't open", path, errno);
      break;
    }
    // One read of what a restored folder holds answers for all its files,
    // where asking after each would cost a call per entry of the volume.
    std::unordered_map<std::string, unsigned char> holds;
    if (existed && !ReadKinds(fd, &holds)) {
      made.error = Why("can't read", path, errno);
      close(fd);
      break;
    }
    // mknodat makes an empty file in one call, with no descriptor to open
    // and close.
    for (const std::string& name : FileNames(i)) {
      auto there = holds.find(name);
      if (there != holds.end()) {
        if (KindAt(fd, name, there->second) != DT_REG) {
          made.error = JoinPath(path, name) + " is there, but not as a file";
          break;
        }
      } else if (mknodat(fd, name.c_str(), S_IFREG | 0644, 0) == 0) {
        ++made.files;
      } else {
        made.error = Why("can't make", JoinPath(path, name), errno);
        break;
      }
    }
    close(fd);
    if (!made.error.empty()) break;
  }
  close(root);
  return made;
}

}  // namespace quillfen::bench
