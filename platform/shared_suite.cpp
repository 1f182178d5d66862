#include "platform/shared_suite.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <utility>

#include "base/error_text.h"
#include "platform/durable_file.h"
#include "platform/json_object_text.h"
#include "platform/unique_fd.h"
#include "protocol/json_form.h"

namespace quillfen {
namespace {

constexpr char kFileName[] = "preferences.json";
constexpr char kLockName[] = "preferences.lock";

// The one place that turns a failed flush step into lastError()'s
// sentence; |reason| is the system's error text.
std::string DescribeFailure(const std::string& file, std::string_view step,
                            std::string_view reason) {
  return "Couldn't save the shared preferences file \"" + file + "\" while " +
         std::string(step) + ": " + std::string(reason) + ".";
}

// A failed step of a flush, in lastError()'s words.
Error FlushFailure(const std::string& file, std::string_view step,
                   std::string_view reason) {
  return ErrorMessage(DescribeFailure(file, step, reason));
}
Error FlushFailure(const std::string& file, std::string_view step, int error) {
  return FlushFailure(file, step, SystemErrorText(error));
}
// A step of the durable write that failed: its message names the step.
Error FlushFailure(const std::string& file, const Error& step) {
  return FlushFailure(file, step.message, step.code);
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
  WholeFile file = ReadWholeFile(folder_fd, kFileName);
  FileContent content;
  content.error = file.error;
  switch (file.state) {
    case WholeFile::State::kMissing:
      content.state = FileState::kMissing;
      break;
    case WholeFile::State::kUnreadable:
      content.state = FileState::kUnreadable;
      break;
    case WholeFile::State::kNotRegular:
      content.state = FileState::kNotObject;
      break;
    case WholeFile::State::kRead:
      if (Result<JsonObjectText> object =
              JsonObjectText::Parse(std::move(file.text))) {
        content.state = FileState::kObject;
        content.object = std::move(*object);
      } else {
        content.state = FileState::kNotObject;
      }
      break;
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

// The domain's folder, opened, with its lock held exclusively until both
// descriptors close.
struct LockedFolder {
  UniqueFd folder;
  UniqueFd lock;
};

Result<LockedFolder> LockFolder(const std::string& folder,
                                const std::string& file) {
  if (Result<void> made = SharedSuite::MakeFolder(folder); !made) {
    return FlushFailure(file, "creating its folder", made.error().code);
  }
  LockedFolder locked{OpenFolder(folder), UniqueFd()};
  if (!locked.folder) return FlushFailure(file, "opening its folder", errno);
  Result<UniqueFd> lock = OpenLockFile(locked.folder.get(), kLockName);
  if (!lock) {
    return FlushFailure(file, "opening its lock file",
                        OpenErrorText(kLockName, lock.error().code));
  }
  locked.lock = std::move(*lock);
  if (Result<void> held = LockExclusively(locked.lock.get()); !held) {
    return FlushFailure(file, "locking it", held.error().code);
  }
  return locked;
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

Result<void> SharedSuite::MakeFolder(const std::string& folder) {
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
  const std::string file = folder_ + "/" + kFileName;
  try {
    Result<LockedFolder> locked = LockFolder(folder_, file);
    if (!locked) return Failed(locked.error());
    const int folder_fd = locked->folder.get();
    RemoveStaleTempFiles(folder_fd, kFileName);

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
        WriteTempFile(folder_fd, kFileName, current.object.Pieces());
    if (!temp_name) return Failed(FlushFailure(file, temp_name.error()));
    // Content that wasn't a JSON object is kept aside, never overwritten.
    Result<void> replaced = ReplaceFile(folder_fd, *temp_name, kFileName,
                                        current.state == FileState::kNotObject);
    // The pending changes stay on any failure; when only the folder's sync
    // failed they are in the file already, and the next flush writes them
    // again harmlessly.
    if (!replaced) return Failed(FlushFailure(file, replaced.error()));
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
  return LockIsHeld(folder_ + "/" + kLockName);
}

}  // namespace quillfen
