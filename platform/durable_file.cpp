#include "platform/durable_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <ctime>
#include <utility>

#include "base/error_text.h"

namespace quillfen {
namespace {

// A temporary file beside |name| is named this and six letters or digits;
// no other file there is ever taken for one.
std::string TempPrefix(const std::string& name) { return name + ".tmp-"; }

bool IsTempName(std::string_view entry, std::string_view prefix) {
  if (!entry.starts_with(prefix)) return false;
  entry.remove_prefix(prefix.size());
  return entry.size() == 6 &&
         std::all_of(entry.begin(), entry.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c));
         });
}

// Creates a new temporary file beside |name|; answers its descriptor (and
// its own name in |temp_name|), or none with errno set.
UniqueFd CreateTempFile(int folder_fd, const std::string& name,
                        std::string* temp_name) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    // From the kernel, not a device file: a sandbox may have none. A
    // name that is taken, or predictable, only costs another attempt.
    unsigned char bytes[6] = {};
    if (getrandom(bytes, sizeof bytes, 0) !=
        static_cast<ssize_t>(sizeof bytes)) {
      bytes[attempt % 6] ^= static_cast<unsigned char>(attempt + getpid());
    }
    *temp_name = TempPrefix(name);
    for (unsigned char byte : bytes) temp_name->push_back(kAlphabet[byte % 62]);
    UniqueFd fd(openat(folder_fd, temp_name->c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0600));
    if (fd || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return UniqueFd();
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

// Keeps the file |name| under a new, unused name beside it, so that
// whatever wrote it can still be looked into.
Result<void> MoveAside(int folder_fd, const std::string& name) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string base = name + ".corrupt-" + stamp;
  for (int n = 1; n < 1000; ++n) {
    std::string target = n == 1 ? base : base + "-" + std::to_string(n);
    Result<void> moved = RenameWithoutReplacing(folder_fd, name, target);
    if (moved) return moved;
    // ENOENT: someone else took it away meanwhile; nothing left to keep.
    if (moved.error().code == ENOENT) return {};
    if (moved.error().code != EEXIST) return moved;
  }
  return ErrnoError(EEXIST);
}

}  // namespace

UniqueFd OpenFolder(const std::string& folder) {
  return UniqueFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::string OpenErrorText(std::string_view name, int error) {
  if (error == ELOOP) {
    return std::string(name) +
           " is a symbolic link, which this system never follows; remove "
           "it";
  }
  return SystemErrorText(error);
}

Result<UniqueFd> OpenLockFile(int folder_fd, const std::string& name) {
  UniqueFd lock_file(openat(folder_fd, name.c_str(),
                            O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock_file) return ErrnoError(errno);
  return lock_file;
}

Result<void> LockExclusively(int lock_fd) {
  while (flock(lock_fd, LOCK_EX) != 0) {
    if (errno != EINTR) return ErrnoError(errno);
  }
  return {};
}

bool LockIsHeld(const std::string& path) {
  UniqueFd lock_file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (lock_file.get() < 0) return false;
  return flock(lock_file.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

WholeFile ReadWholeFile(int folder_fd, const std::string& name) {
  WholeFile file;
  // Non-blocking so that a FIFO put at the path can't hang the caller.
  UniqueFd guard(openat(folder_fd, name.c_str(),
                        O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
  if (!guard) {
    file.state = errno == ENOENT ? WholeFile::State::kMissing
                                 : WholeFile::State::kUnreadable;
    file.error = errno;
    return file;
  }
  const int fd = guard.get();
  struct stat info;
  if (fstat(fd, &info) != 0) {
    file.state = WholeFile::State::kUnreadable;
    file.error = errno;
    return file;
  }
  if (!S_ISREG(info.st_mode)) {
    file.state = WholeFile::State::kNotRegular;
    return file;
  }
  file.text.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      file.state = WholeFile::State::kUnreadable;
      file.error = errno;
      file.text.clear();
      return file;
    }
    if (n == 0) break;
    file.text.append(buffer, static_cast<std::size_t>(n));
  }
  file.state = WholeFile::State::kRead;
  return file;
}

void RemoveStaleTempFiles(int folder_fd, const std::string& name) {
  UniqueFd fd(dup(folder_fd));
  if (!fd) return;
  DIR* dir = fdopendir(fd.get());
  if (dir == nullptr) return;
  fd.release();  // The stream owns it now; closedir() closes it.
  const std::string prefix = TempPrefix(name);
  std::vector<std::string> stale;
  while (dirent* entry = readdir(dir)) {
    struct stat info;
    if (IsTempName(entry->d_name, prefix) &&
        fstatat(folder_fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode)) {
      stale.emplace_back(entry->d_name);
    }
  }
  closedir(dir);
  // A leftover that can't be removed does no harm beyond its space.
  for (const std::string& temp : stale) unlinkat(folder_fd, temp.c_str(), 0);
}

Result<std::string> WriteTempFile(int folder_fd, const std::string& name,
                                  const std::vector<std::string_view>& pieces) {
  std::string temp_name;
  UniqueFd temp(CreateTempFile(folder_fd, name, &temp_name));
  if (!temp) return ErrnoError(errno, "creating a temporary file beside it");
  int error = 0;
  for (std::string_view piece : pieces) {
    Result<void> written = WriteAll(temp.get(), piece);
    if (!written) {
      error = written.error().code;
      break;
    }
  }
  std::string step = "writing a temporary file beside it";
  if (error == 0 && fsync(temp.get()) != 0) {
    error = errno;
    step = "syncing a temporary file beside it";
  }
  if (int closed = temp.Close(); error == 0 && closed != 0) error = closed;
  if (error == 0) return temp_name;
  unlinkat(folder_fd, temp_name.c_str(), 0);
  return ErrnoError(error, std::move(step));
}

Result<void> ReplaceFile(int folder_fd, const std::string& temp_name,
                         const std::string& name, bool move_aside) {
  std::string step = "replacing it";
  int error = 0;
  if (move_aside) {
    if (Result<void> moved = MoveAside(folder_fd, name); !moved) {
      step = "moving its unreadable content aside";
      error = moved.error().code;
    }
  }
  if (error == 0 &&
      renameat(folder_fd, temp_name.c_str(), folder_fd, name.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    unlinkat(folder_fd, temp_name.c_str(), 0);
    return ErrnoError(error, std::move(step));
  }
  // Without this the rename itself may not survive a crash. Some file
  // systems can't sync a folder at all (EINVAL); nothing more can be done
  // there.
  if (fsync(folder_fd) != 0 && errno != EINVAL) {
    return ErrnoError(errno, "syncing its folder");
  }
  return {};
}

}  // namespace quillfen
