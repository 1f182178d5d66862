#include "testing/temp_tree.h"

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

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

TempTree::~TempTree() {
  // Tests leave folders without write permission behind; give it back first.
  nftw(
      path_.c_str(),
      [](const char* p, const struct stat* s, int type, FTW*) {
        if (type == FTW_D || type == FTW_DNR) chmod(p, s->st_mode | 0700);
        return 0;
      },
      64, FTW_PHYS);
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempTree::PathOf(const std::string& relative) const {
  return path_ + "/" + relative;
}

void TempTree::MakeFile(const std::string& relative,
                        const std::string& content) {
  fs::path p = PathOf(relative);
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
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

std::string RunUnprivileged(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "child failed: pipe";
  pid_t pid = fork();
  if (pid < 0) return "child failed: fork";
  if (pid == 0) {
    close(fds[0]);
    if (geteuid() == 0) {
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

}  // namespace quillfen::testing
