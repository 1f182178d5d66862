#include "testing/support.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "platform/unique_fd.h"
#include "protocol/json_form.h"

namespace quillfen::testing {

void ReportFigure(const std::string& name, long long value) {
  std::printf("quillfen-figure: %s: %lld\n", name.c_str(), value);
  std::fflush(stdout);
  ::testing::Test::RecordProperty(name, std::to_string(value));
}

long long Knob(const char* name, long long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  return *end == '\0' && value > 0 ? value : fallback;
}

bool MakeFileAt(int dir_fd, const std::string& name,
                const std::string& content) {
  int fd = openat(dir_fd, name.c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool written = content.empty() || write(fd, content.data(), content.size()) ==
                                        static_cast<ssize_t>(content.size());
  close(fd);
  return written;
}

std::vector<std::string> MakeManyFiles(const std::string& root, int folders,
                                       int per_folder,
                                       const std::string& suffix) {
  std::vector<std::string> paths;
  paths.reserve(static_cast<std::size_t>(folders) * per_folder);
  std::filesystem::create_directories(root);
  char name[32];
  for (int d = 0; d < folders; ++d) {
    std::snprintf(name, sizeof name, "d%03d", d);
    std::string folder = name;
    mkdir((root + "/" + folder).c_str(), 0755);
    int fd =
        open((root + "/" + folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) ADD_FAILURE() << "can't open " << root << "/" << folder;
    for (int f = 0; f < per_folder; ++f) {
      std::snprintf(name, sizeof name, "f%06d", d * per_folder + f);
      std::string file = name + suffix;
      if (!MakeFileAt(fd, file)) {
        ADD_FAILURE() << "can't make " << folder << "/" << file;
      }
      paths.push_back(folder + "/" + file);
    }
    close(fd);
  }
  return paths;
}

long EntryCount(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return -1;
  long count = 0;
  while (dirent* entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") ++count;
  }
  closedir(dir);
  return count;
}

bool PollUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::vector<pid_t> ChildrenRunning(pid_t parent, const std::string& exe) {
  std::vector<pid_t> children;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc", error)) {
    std::string pid_text = entry.path().filename().string();
    if (pid_text.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    // "pid (comm) state ppid ...": the name may hold anything but ends at
    // the last parenthesis.
    Result<std::string> stat_text = ReadWholeFile(entry.path() / "stat");
    if (!stat_text) continue;  // It ended while it was read.
    const std::string& stat = *stat_text;
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state;
    int ppid;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2 ||
        ppid != parent) {
      continue;
    }
    std::error_code ignored;
    if (std::filesystem::read_symlink(entry.path() / "exe", ignored) == exe) {
      children.push_back(static_cast<pid_t>(std::stoi(pid_text)));
    }
  }
  return children;
}

bool ProcessGone(pid_t pid) {
  if (kill(pid, 0) != 0) return errno == ESRCH;
  Result<std::string> stat_text =
      ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  if (!stat_text) return true;  // Ended and reaped between the two looks.
  const std::string& stat = *stat_text;
  std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() &&
         stat[close + 2] == 'Z';
}

std::vector<std::string> LinesStartingWith(const std::string& text,
                                           const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(prefix)) lines.push_back(line);
  }
  return lines;
}

Dictionary DictionaryFromJson(const std::string& text) {
  Result<Value> parsed = ValueFromJsonText(text);
  if (!parsed || !parsed->AsDictionary()) return {};
  return std::move(*parsed->AsDictionary());
}

std::set<std::string> RemovedPaths(const Dictionary& reply) {
  std::set<std::string> paths;
  const Value* array = Find(reply, "pathArray");
  if (array == nullptr || array->AsArray() == nullptr) return paths;
  for (const Value& path : *array->AsArray()) {
    if (const std::string* text = path.AsString()) paths.insert(*text);
  }
  return paths;
}

std::set<std::string> ErrorPaths(const Dictionary& reply) {
  std::set<std::string> paths;
  const Value* errors = Find(reply, "errorDict");
  if (errors == nullptr || errors->AsDictionary() == nullptr) return paths;
  for (const auto& [path, reason] : *errors->AsDictionary()) paths.insert(path);
  return paths;
}

Dictionary RemovalRequestFor(const std::string& volume, bool apple_double,
                             const std::vector<std::string>& extensions,
                             const std::vector<std::string>& names) {
  auto array = [](const std::vector<std::string>& texts) {
    return Value(Array(texts.begin(), texts.end()));
  };
  return Dictionary{{"volumePath", Value(volume)},
                    {"appleDouble", Value(apple_double)},
                    {"extensionsArray", array(extensions)},
                    {"fileRemovalArray", array(names)}};
}

}  // namespace quillfen::testing
