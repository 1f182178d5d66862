#include "platform/shared_suite.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <new>
#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>

#include "protocol/json_form.h"

namespace quillfen {
namespace {

using Json = nlohmann::json;

constexpr std::string_view kFileName = "preferences.json";
constexpr std::string_view kLockName = "preferences.lock";

// Closes on scope exit, so that every early return of a flush lets go of
// the lock and the files it opened.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now; answers close()'s errno, or 0. Some file systems report a
  // failed write only here.
  int Close() {
    int result = 0;
    if (fd_ >= 0 && close(fd_) != 0) result = errno;
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

// The one place that turns a failed flush step into lastError()'s
// sentence; |reason| is the system's error text.
std::string DescribeFailure(const std::string& file, std::string_view step,
                            std::string_view reason) {
  return "Couldn't save the shared preferences file \"" + file + "\" while " +
         std::string(step) + ": " + std::string(reason) + ".";
}

std::string SystemErrorText(int error) {
  return std::system_category().message(error);
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  // A service started without a login environment may have no HOME.
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
  passwd entry;
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return "";
}

// Creates |folder| and its missing parents, each private to the user.
// Answers 0 or the errno of the step that failed.
int MakeFolders(const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1);;
       slash = folder.find('/', slash + 1)) {
    std::string prefix = folder.substr(0, slash);
    if (!prefix.empty() && mkdir(prefix.c_str(), 0700) != 0 &&
        errno != EEXIST) {
      return errno;
    }
    if (slash == std::string::npos) break;
  }
  // An existing non-folder at the path also answers EEXIST above.
  struct stat info;
  if (stat(folder.c_str(), &info) != 0) return errno;
  return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

enum class FileState {
  kMissing,     // No file: an empty domain.
  kObject,      // A JSON object, in |object|.
  kNotObject,   // Something else (or too deep): read as empty, moved aside
                // on a flush.
  kUnreadable,  // Could not be read; |error| says why.
};

struct FileContent {
  FileState state = FileState::kMissing;
  Json object;
  int error = 0;
};

FileContent ReadDomainFile(const std::string& path) {
  FileContent content;
  // Non-blocking so that a FIFO put at the path can't hang the caller.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    content.state =
        errno == ENOENT ? FileState::kMissing : FileState::kUnreadable;
    content.error = errno;
    return content;
  }
  FileDescriptor guard(fd);
  struct stat info;
  if (fstat(fd, &info) != 0) {
    content.state = FileState::kUnreadable;
    content.error = errno;
    return content;
  }
  if (!S_ISREG(info.st_mode)) {
    content.state = FileState::kNotObject;
    return content;
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      content.state = FileState::kUnreadable;
      content.error = errno;
      return content;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  // The parser refuses text that is not UTF-8 as well as bad syntax. It
  // takes any depth, but writing the domain back recurses once per level,
  // so a file is read only as deep as a value may nest.
  bool too_deep = false;
  Json parsed = Json::parse(
      text,
      [&too_deep](int enclosing, Json::parse_event_t event, Json&) {
        if ((event == Json::parse_event_t::object_start ||
             event == Json::parse_event_t::array_start) &&
            enclosing >= kMaxJsonNesting) {
          too_deep = true;
        }
        return true;
      },
      /*allow_exceptions=*/false);
  if (parsed.is_object() && !too_deep) {
    content.state = FileState::kObject;
    content.object = std::move(parsed);
  } else {
    content.state = FileState::kNotObject;
  }
  return content;
}

int WriteAll(int fd, const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    written += static_cast<std::size_t>(n);
  }
  return 0;
}

// Renames |from| to |to| only if nothing is at |to|.
int RenameWithoutReplacing(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // File systems without the flag: a hard link refuses an existing name
  // just the same (and a non-file can't be linked, only reported).
  if (link(from.c_str(), to.c_str()) != 0) return errno;
  if (unlink(from.c_str()) != 0) return errno;
  return 0;
}

// Keeps a file this system can't read under a new, unused name beside it,
// so that whatever wrote it can still be looked into.
int MoveAside(const std::string& path) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string base = path + ".corrupt-" + stamp;
  for (int n = 1; n < 1000; ++n) {
    std::string target = n == 1 ? base : base + "-" + std::to_string(n);
    int error = RenameWithoutReplacing(path, target);
    // ENOENT: someone else took it away meanwhile; nothing left to keep.
    if (error == ENOENT) return 0;
    if (error != EEXIST) return error;
  }
  return EEXIST;
}

}  // namespace

SharedSuite::SharedSuite(std::string_view suite_name)
    : folder_(FolderFor(suite_name)) {}

std::string SharedSuite::FolderFor(std::string_view suite_name) {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base = config != nullptr && config[0] == '/'
                         ? std::string(config)
                         : HomeFolder() + "/.config";
  return base + "/" + std::string(suite_name);
}

std::optional<Value> SharedSuite::objectForKey(std::string_view key) {
  // Held across the read so that a flush from another thread can't clear
  // the pending value between reading the old file and the overlay.
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto pending = pending_.find(key); pending != pending_.end()) {
    return pending->second;
  }
  try {
    FileContent content =
        ReadDomainFile(folder_ + "/" + std::string(kFileName));
    if (content.state != FileState::kObject) return std::nullopt;
    auto found = content.object.find(key);
    if (found == content.object.end()) return std::nullopt;
    return ValueFromJson(*found).value;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void SharedSuite::setObject(std::optional<Value> value, std::string_view key) {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.insert_or_assign(std::string(key), std::move(value));
}

void SharedSuite::removeObjectForKey(std::string_view key) {
  setObject(std::nullopt, key);
}

bool SharedSuite::synchronize() {
  // Held for the whole flush: two threads flushing one object must not
  // apply an older snapshot of pending_ after a newer one.
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string file = folder_ + "/" + std::string(kFileName);
  std::string temp_path;
  auto fail_because = [&](std::string_view step, std::string_view reason) {
    if (!temp_path.empty()) unlink(temp_path.c_str());
    last_error_ = DescribeFailure(file, step, reason);
    return false;
  };
  auto fail = [&](std::string_view step, int error) {
    return fail_because(step, SystemErrorText(error));
  };
  try {
    if (int error = MakeFolders(folder_)) {
      return fail("creating its folder", error);
    }
    const std::string lock_path = folder_ + "/" + std::string(kLockName);
    FileDescriptor lock_file(
        open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock_file.get() < 0) return fail("opening its lock file", errno);
    while (flock(lock_file.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return fail("locking it", errno);
    }

    FileContent current = ReadDomainFile(file);
    if (current.state == FileState::kUnreadable) {
      // Writing without its keys would lose them.
      return fail("reading it", current.error);
    }
    Json domain = current.state == FileState::kObject
                      ? std::move(current.object)
                      : Json::object();
    for (const auto& [key, value] : pending_) {
      if (value) {
        domain[key] = JsonFromValue(*value);
      } else {
        domain.erase(key);
      }
    }
    const std::string text =
        domain.dump(-1, ' ', false, Json::error_handler_t::replace);

    FileDescriptor folder_fd(
        open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder_fd.get() < 0) return fail("opening its folder", errno);
    std::string pattern = file + ".XXXXXX";
    FileDescriptor temp(mkostemp(pattern.data(), O_CLOEXEC));
    if (temp.get() < 0) {
      return fail("creating a temporary file beside it", errno);
    }
    temp_path = pattern;
    if (int error = WriteAll(temp.get(), text)) {
      return fail("writing a temporary file beside it", error);
    }
    if (fsync(temp.get()) != 0) {
      return fail("syncing a temporary file beside it", errno);
    }
    if (int error = temp.Close()) {
      return fail("writing a temporary file beside it", error);
    }
    // Moved aside only now, so that a flush failing earlier leaves the
    // unreadable file where it was.
    if (current.state == FileState::kNotObject) {
      if (int error = MoveAside(file)) {
        return fail("moving its unreadable content aside", error);
      }
    }
    if (rename(temp_path.c_str(), file.c_str()) != 0) {
      return fail("replacing it", errno);
    }
    temp_path.clear();
    // Without this the rename itself may not survive a crash. The pending
    // changes are kept on failure: they are already in the file, so a
    // later flush writes them again harmlessly. Some file systems can't
    // sync a folder at all (EINVAL); nothing more can be done there.
    if (fsync(folder_fd.get()) != 0 && errno != EINVAL) {
      return fail("syncing its folder", errno);
    }
  } catch (const std::bad_alloc&) {
    return fail("preparing its content", ENOMEM);
  } catch (const std::exception& e) {
    return fail_because("preparing its content", e.what());
  }
  pending_.clear();
  last_error_.clear();
  return true;
}

std::string SharedSuite::lastError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_error_;
}

}  // namespace quillfen
