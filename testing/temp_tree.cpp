#include "testing/temp_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>

#include "platform/unique_fd.h"

namespace quillfen::testing {
namespace fs = std::filesystem;

TempTree::TempTree() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base ? base : "/tmp") + "/quillfen-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
  // Readable by an unprivileged child too.
  chmod(path_.c_str(), 0755);
}

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Removes |path| with everything in it, at any depth, holding two
// descriptors at most: down by name, up by "..". Tests leave folders
// without write permission behind; each gets it back before it is entered.
void RemoveTree(const std::string& path) {
  chmod(path.c_str(), 0700);
  UniqueFd folder(open(path.c_str(), kFolderFlags));
  std::vector<std::string> names;  // From |path| down to |folder|.
  while (folder) {
    // Entries are unlinked while the folder is read, which may hide some
    // from this pass: only a pass that sees nothing means it is empty.
    DIR* dir = fdopendir(dup(folder.get()));
    if (dir == nullptr) return;
    rewinddir(dir);
    std::string subfolder;
    bool seen = false, progress = false;
    while (dirent* entry = readdir(dir)) {
      std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      seen = true;
      if (unlinkat(folder.get(), entry->d_name, 0) == 0) {
        progress = true;
      } else if (errno == EISDIR || errno == EPERM) {
        subfolder = name;
        break;
      }
    }
    closedir(dir);
    if (!subfolder.empty()) {
      // A failure shows when the folder is opened.
      [[maybe_unused]] int ignored =
          fchmodat(folder.get(), subfolder.c_str(), 0700, 0);
      UniqueFd child(openat(folder.get(), subfolder.c_str(), kFolderFlags));
      if (!child) return;
      folder = std::move(child);
      names.push_back(std::move(subfolder));
      continue;
    }
    if (seen) {
      if (!progress) return;  // Nothing more can go.
      continue;
    }
    if (names.empty()) break;
    folder.reset(openat(folder.get(), "..", kFolderFlags));
    if (folder) unlinkat(folder.get(), names.back().c_str(), AT_REMOVEDIR);
    names.pop_back();
  }
  rmdir(path.c_str());
}

}  // namespace

TempTree::~TempTree() { RemoveTree(path_); }

std::string TempTree::PathOf(const std::string& relative) const {
  return path_ + "/" + relative;
}

void TempTree::MakeFile(const std::string& relative,
                        const std::string& content) {
  fs::path p = PathOf(relative);
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

void TempTree::MakeDir(const std::string& relative) {
  fs::create_directories(PathOf(relative));
}

void TempTree::MakeSymlink(const std::string& relative,
                           const std::string& target) {
  fs::path p = PathOf(relative);
  fs::create_directories(p.parent_path());
  fs::create_symlink(target, p);
}

bool TempTree::Exists(const std::string& relative) const {
  struct stat s;
  return lstat(PathOf(relative).c_str(), &s) == 0;
}

std::vector<std::string> TempTree::Listing() const {
  std::vector<std::string> items;
  for (auto it = fs::recursive_directory_iterator(path_);
       it != fs::recursive_directory_iterator(); ++it) {
    std::string relative = it->path().lexically_relative(path_).string();
    if (it->is_directory() && !it->is_symlink()) relative += "/";
    items.push_back(relative);
  }
  std::sort(items.begin(), items.end());
  return items;
}

std::string TreeSnapshot(const std::string& path) {
  std::vector<std::string> lines;
  for (auto it = fs::recursive_directory_iterator(path);
       it != fs::recursive_directory_iterator(); ++it) {
    std::string line = it->path().lexically_relative(path).string();
    if (it->is_symlink()) {
      line += " -> " + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      line += "/";
    } else {
      std::ifstream file(it->path(), std::ios::binary);
      line += " = " + std::string(std::istreambuf_iterator<char>(file), {});
    }
    lines.push_back(std::move(line));
  }
  std::sort(lines.begin(), lines.end());
  std::string snapshot;
  for (const std::string& line : lines) snapshot += line + "\n";
  return snapshot;
}

namespace {

std::string RunInChildAs(const std::function<std::string()>& body,
                         bool give_up_root) {
  int fds[2];
  if (pipe(fds) != 0) return "child failed: pipe";
  pid_t pid = fork();
  if (pid < 0) return "child failed: fork";
  if (pid == 0) {
    close(fds[0]);
    if (give_up_root && geteuid() == 0) {
      const uid_t nobody = 65534;
      if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 ||
          setuid(nobody) != 0) {
        _exit(3);
      }
    }
    // An exception must not unwind into the test runner's copy here.
    std::string result;
    try {
      result = body();
    } catch (const std::exception& e) {
      result = std::string("child failed: ") + e.what();
    } catch (...) {
      result = "child failed: an exception";
    }
    std::size_t written = 0;
    while (written < result.size()) {
      ssize_t n =
          write(fds[1], result.data() + written, result.size() - written);
      if (n <= 0) _exit(4);
      written += static_cast<std::size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string result;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
    result.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return "child failed: status " + std::to_string(status);
  }
  return result;
}

}  // namespace

std::string RunInChild(const std::function<std::string()>& body) {
  return RunInChildAs(body, false);
}

std::string RunUnprivileged(const std::function<std::string()>& body) {
  return RunInChildAs(body, true);
}

}  // namespace quillfen::testing
