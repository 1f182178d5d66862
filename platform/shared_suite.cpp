#include "platform/shared_suite.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/json_object_text.h"
#include "platform/unique_fd.h"
#include "protocol/json_form.h"

namespace quillfen {
namespace {

constexpr std::string_view kFileName = "preferences.json";
constexpr std::string_view kLockName = "preferences.lock";
constexpr std::string_view kTempPrefix = "preferences.json.tmp-";

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
Result<void> MakeFolders(const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1);;
       slash = folder.find('/', slash + 1)) {
    std::string prefix = folder.substr(0, slash);
    if (!prefix.empty() && mkdir(prefix.c_str(), 0700) != 0 &&
        errno != EEXIST) {
      return ErrnoError(errno);
    }
    if (slash == std::string::npos) break;
  }
  // An existing non-folder at the path also answers EEXIST above.
  struct stat info;
  if (stat(folder.c_str(), &info) != 0) return ErrnoError(errno);
  if (!S_ISDIR(info.st_mode)) return ErrnoError(ENOTDIR);
  return {};
}

// The reason a failed open of the lock or the file gives: with O_NOFOLLOW
// on a single name, ELOOP means a symbolic link stands there.
std::string OpenErrorText(std::string_view name, int error) {
  if (error == ELOOP) {
    return std::string(name) +
           " is a symbolic link, which this system never follows; remove "
           "it";
  }
  return SystemErrorText(error);
}

// The domain's folder, opened for the calls beneath it.
UniqueFd OpenFolder(const std::string& folder) {
  return UniqueFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

enum class FileState {
  kMissing,     // No file: an empty domain.
  kObject,      // A JSON object, in |object|.
  kNotObject,   // Something else: read as empty, moved aside on a flush.
  kUnreadable,  // Could not be read; |error| says why.
};

struct FileContent {
  FileState state = FileState::kMissing;
  JsonObjectText object;
  int error = 0;
};

FileContent ReadDomainFile(int folder_fd) {
  FileContent content;
  // Non-blocking so that a FIFO put at the path can't hang the caller.
  UniqueFd guard(openat(folder_fd, kFileName.data(),
                        O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
  if (!guard) {
    content.state =
        errno == ENOENT ? FileState::kMissing : FileState::kUnreadable;
    content.error = errno;
    return content;
  }
  const int fd = guard.get();
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
  text.reserve(static_cast<std::size_t>(info.st_size));
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
  if (Result<JsonObjectText> object = JsonObjectText::Parse(std::move(text))) {
    content.state = FileState::kObject;
    content.object = std::move(*object);
  } else {
    content.state = FileState::kNotObject;
  }
  return content;
}

// The value whose JSON text is |text|, or nothing when it has no
// property-list form. A string, the common case, is read directly.
std::optional<Value> ValueOfText(std::string_view text) {
  if (text.starts_with('"')) {
    std::optional<std::string> string = JsonObjectText::DecodeString(text);
    return string ? std::optional<Value>(Value(std::move(*string)))
                  : std::nullopt;
  }
  Result<Value> value = ValueFromJsonText(text);
  if (!value) return std::nullopt;
  return std::move(*value);
}

Result<void> WriteAll(int fd, std::string_view text) {
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrnoError(errno);
    if (n == 0) return ErrnoError(EIO);
    written += static_cast<std::size_t>(n);
  }
  return {};
}

// A temporary file beside the domain file is named kTempPrefix and six
// letters or digits; no other file there is ever taken for one.
bool IsTempName(std::string_view name) {
  if (!name.starts_with(kTempPrefix)) return false;
  name.remove_prefix(kTempPrefix.size());
  return name.size() == 6 && std::all_of(name.begin(), name.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c));
         });
}

// Creates a new temporary file beneath |folder_fd|; answers its descriptor
// (and name), or none with errno set.
UniqueFd CreateTempFile(int folder_fd, std::string* name) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    // From the kernel, not a device file: the tool's sandbox has none. A
    // name that is taken, or predictable, only costs another attempt.
    unsigned char bytes[6] = {};
    if (getrandom(bytes, sizeof bytes, 0) !=
        static_cast<ssize_t>(sizeof bytes)) {
      bytes[attempt % 6] ^= static_cast<unsigned char>(attempt + getpid());
    }
    *name = std::string(kTempPrefix);
    for (unsigned char byte : bytes) name->push_back(kAlphabet[byte % 62]);
    UniqueFd fd(openat(folder_fd, name->c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0600));
    if (fd || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return UniqueFd();
}

// Removes the temporary files of flushes that never finished (a process
// killed mid-flush). Called with the lock held: every flush holds it while
// its own temporary file exists, so any other one found now is stale.
void RemoveStaleTempFiles(int folder_fd) {
  UniqueFd fd(dup(folder_fd));
  if (!fd) return;
  DIR* dir = fdopendir(fd.get());
  if (dir == nullptr) return;
  fd.release();  // The stream owns it now; closedir() closes it.
  std::vector<std::string> stale;
  while (dirent* entry = readdir(dir)) {
    struct stat info;
    if (IsTempName(entry->d_name) &&
        fstatat(folder_fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode)) {
      stale.emplace_back(entry->d_name);
    }
  }
  closedir(dir);
  // A leftover that can't be removed does no harm beyond its space.
  for (const std::string& name : stale) unlinkat(folder_fd, name.c_str(), 0);
}

// Renames |from| to |to| beneath |folder_fd| only if nothing is at |to|.
Result<void> RenameWithoutReplacing(int folder_fd, const std::string& from,
                                    const std::string& to) {
  if (renameat2(folder_fd, from.c_str(), folder_fd, to.c_str(),
                RENAME_NOREPLACE) == 0) {
    return {};
  }
  if (errno != EINVAL && errno != ENOSYS) return ErrnoError(errno);
  // File systems without the flag: a hard link refuses an existing name
  // just the same (and a non-file can't be linked, only reported).
  if (linkat(folder_fd, from.c_str(), folder_fd, to.c_str(), 0) != 0) {
    return ErrnoError(errno);
  }
  if (unlinkat(folder_fd, from.c_str(), 0) != 0) return ErrnoError(errno);
  return {};
}

// Keeps a file this system can't read under a new, unused name beside it,
// so that whatever wrote it can still be looked into.
Result<void> MoveAside(int folder_fd) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string from(kFileName);
  const std::string base = from + ".corrupt-" + stamp;
  for (int n = 1; n < 1000; ++n) {
    std::string target = n == 1 ? base : base + "-" + std::to_string(n);
    Result<void> moved = RenameWithoutReplacing(folder_fd, from, target);
    if (moved) return moved;
    // ENOENT: someone else took it away meanwhile; nothing left to keep.
    if (moved.error().code == ENOENT) return {};
    if (moved.error().code != EEXIST) return moved;
  }
  return ErrnoError(EEXIST);
}

// A failed step of a flush, in lastError()'s words.
Error FlushFailure(const std::string& file, std::string_view step,
                   std::string_view reason) {
  return ErrorMessage(DescribeFailure(file, step, reason));
}
Error FlushFailure(const std::string& file, std::string_view step, int error) {
  return FlushFailure(file, step, SystemErrorText(error));
}

// The domain's folder, opened, with its lock held exclusively until both
// descriptors close.
struct LockedFolder {
  UniqueFd folder;
  UniqueFd lock;
};

Result<LockedFolder> LockFolder(const std::string& folder,
                                const std::string& file) {
  if (Result<void> made = MakeFolders(folder); !made) {
    return FlushFailure(file, "creating its folder", made.error().code);
  }
  LockedFolder locked{OpenFolder(folder), UniqueFd()};
  if (!locked.folder) return FlushFailure(file, "opening its folder", errno);
  locked.lock.reset(openat(locked.folder.get(), kLockName.data(),
                           O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!locked.lock) {
    return FlushFailure(file, "opening its lock file",
                        OpenErrorText(kLockName, errno));
  }
  while (flock(locked.lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return FlushFailure(file, "locking it", errno);
  }
  return locked;
}

// Writes the pieces of |text|, in order, to a new temporary file beside
// the domain file and syncs it; answers the file's name. Nothing is left behind
// on failure.
Result<std::string> WriteTempFile(int folder_fd, const std::string& file,
                                  const std::vector<std::string_view>& text) {
  std::string name;
  UniqueFd temp(CreateTempFile(folder_fd, &name));
  if (!temp) {
    return FlushFailure(file, "creating a temporary file beside it", errno);
  }
  int error = 0;
  for (std::string_view piece : text) {
    Result<void> written = WriteAll(temp.get(), piece);
    if (!written) {
      error = written.error().code;
      break;
    }
  }
  std::string_view step = "writing a temporary file beside it";
  if (error == 0 && fsync(temp.get()) != 0) {
    error = errno;
    step = "syncing a temporary file beside it";
  }
  if (int closed = temp.Close(); error == 0 && closed != 0) error = closed;
  if (error == 0) return name;
  unlinkat(folder_fd, name.c_str(), 0);
  return FlushFailure(file, step, error);
}

// Puts the temporary file |temp_name| in the domain file's place, the
// unreadable content that was there first moved aside when |move_aside|.
// Moved aside only now, so that a flush failing earlier leaves the
// unreadable file where it was.
Result<void> ReplaceDomainFile(int folder_fd, const std::string& file,
                               const std::string& temp_name, bool move_aside) {
  std::string_view step = "replacing it";
  int error = 0;
  if (move_aside) {
    if (Result<void> moved = MoveAside(folder_fd); !moved) {
      step = "moving its unreadable content aside";
      error = moved.error().code;
    }
  }
  if (error == 0 && renameat(folder_fd, temp_name.c_str(), folder_fd,
                             kFileName.data()) != 0) {
    error = errno;
  }
  if (error != 0) {
    unlinkat(folder_fd, temp_name.c_str(), 0);
    return FlushFailure(file, step, error);
  }
  // Without this the rename itself may not survive a crash. The pending
  // changes are kept on failure: they are already in the file, so a
  // later flush writes them again harmlessly. Some file systems can't
  // sync a folder at all (EINVAL); nothing more can be done there.
  if (fsync(folder_fd) != 0 && errno != EINVAL) {
    return FlushFailure(file, "syncing its folder", errno);
  }
  return {};
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
    UniqueFd folder_fd(OpenFolder(folder_));
    if (folder_fd.get() < 0) return std::nullopt;
    FileContent content = ReadDomainFile(folder_fd.get());
    if (content.state != FileState::kObject) return std::nullopt;
    std::optional<std::string_view> text = content.object.Find(key);
    if (!text) return std::nullopt;
    return ValueOfText(*text);
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
  std::lock_guard<std::mutex> lock(mutex_);
  return Flush("", nullptr);
}

std::optional<SharedSuite::Taken> SharedSuite::takeObjectForKey(
    std::string_view key) {
  std::lock_guard<std::mutex> lock(mutex_);
  Taken taken;
  if (!Flush(key, &taken)) return std::nullopt;
  return taken;
}

// Called with mutex_ held for the whole flush: two threads flushing one
// object must not apply an older snapshot of pending_ after a newer one.
bool SharedSuite::Flush(std::string_view take_key, Taken* taken) {
  const std::string file = folder_ + "/" + std::string(kFileName);
  try {
    Result<LockedFolder> locked = LockFolder(folder_, file);
    if (!locked) return Failed(locked.error());
    const int folder_fd = locked->folder.get();
    RemoveStaleTempFiles(folder_fd);

    FileContent current = ReadDomainFile(folder_fd);
    if (current.state == FileState::kUnreadable) {
      // Writing without its keys would lose them.
      return Failed(FlushFailure(file, "reading it",
                                 OpenErrorText(kFileName, current.error)));
    }
    if (!ApplyChanges(current.object, take_key, taken)) {
      // Nothing to take and nothing to write: the file is left untouched.
      last_error_.clear();
      return true;
    }
    Result<std::string> temp_name =
        WriteTempFile(folder_fd, file, current.object.Pieces());
    if (!temp_name) return Failed(temp_name.error());
    Result<void> replaced = ReplaceDomainFile(
        folder_fd, file, *temp_name, current.state == FileState::kNotObject);
    if (!replaced) return Failed(replaced.error());
  } catch (const std::bad_alloc&) {
    // A temporary file left goes at the next flush.
    return Failed(FlushFailure(file, "preparing its content", ENOMEM));
  } catch (const std::exception& e) {
    return Failed(FlushFailure(file, "preparing its content", e.what()));
  }
  pending_.clear();
  last_error_.clear();
  return true;
}

bool SharedSuite::ApplyChanges(JsonObjectText& domain,
                               std::string_view take_key, Taken* taken) {
  // What the flush writes: the pending changes, and the taking. The
  // pending values are read where they are: a stored reply is megabytes.
  if (!take_key.empty()) {
    Taken found;
    if (auto pending = pending_.find(take_key); pending != pending_.end()) {
      found.found = pending->second.has_value();
      found.value = pending->second;
    } else if (std::optional<std::string_view> text = domain.Find(take_key)) {
      found.found = true;
      found.value = ValueOfText(*text);
    }
    if (!found.found && pending_.empty()) {
      *taken = found;
      return false;
    }
    *taken = std::move(found);
  }
  for (const auto& [key, value] : pending_) {
    if (value && key != take_key) {
      domain.Set(key, JsonTextFromValue(*value));
    } else {
      domain.Erase(key);
    }
  }
  if (!take_key.empty()) domain.Erase(take_key);
  return true;
}

bool SharedSuite::Failed(const Error& error) {
  last_error_ = error.message;
  return false;
}

std::string SharedSuite::lastError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_error_;
}

bool SharedSuite::FlushUnderWay() const {
  std::string path = folder_ + "/" + std::string(kLockName);
  UniqueFd lock_file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (lock_file.get() < 0) return false;
  return flock(lock_file.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

Result<SharedSuiteExchangeTurn> SharedSuiteExchangeTurn::Take(
    std::string_view suite_name) {
  std::string folder = SharedSuite::FolderFor(suite_name);
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  std::string path = folder + "/exchange.lock";
  UniqueFd lock_file(
      open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock_file) {
    int open_error = errno;
    if (open_error == ELOOP) {
      return ErrnoError(open_error,
                        "can't open " + path +
                            ": it is a symbolic link, which this system "
                            "never follows; remove it");
    }
    return ErrnoError(
        open_error, "can't open " + path + ": " + SystemErrorText(open_error));
  }
  while (flock(lock_file.get(), LOCK_EX) != 0) {
    int lock_error = errno;
    if (lock_error != EINTR) {
      return ErrnoError(lock_error, "can't lock " + path + ": " +
                                        SystemErrorText(lock_error));
    }
  }
  return SharedSuiteExchangeTurn(std::move(lock_file));
}

}  // namespace quillfen
