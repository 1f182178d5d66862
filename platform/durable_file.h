// Durable files: a file in a folder that several processes share, read
// whole and replaced whole, so that a crash at any moment leaves its old
// content or its new one, never a mix. New content goes to a temporary
// file beside it (NAME.tmp- and six letters or digits), is synced, renamed
// into place, and the folder is synced. Writers take turns through a lock
// file; the one holding it removes the temporary files of writers killed
// mid-write. Content the caller can't read is moved aside, under
// NAME.corrupt-<time>, instead of being overwritten. A symbolic link in
// place of a file or a lock is never followed: its open fails with ELOOP.
//
// The calls work beneath a folder open by descriptor and know nothing of
// what the files hold. A failed step of a write answers the errno it
// stopped at and, as its message, the step in words about the file
// ("syncing its folder"), for the caller's sentence. They keep no state:
// safe from any thread, on descriptors the caller owns.
#ifndef QUILLFEN_PLATFORM_DURABLE_FILE_H_
#define QUILLFEN_PLATFORM_DURABLE_FILE_H_

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/unique_fd.h"

namespace quillfen {

// |folder| opened for the calls beneath it; none, with errno set, when it
// can't be opened.
UniqueFd OpenFolder(const std::string& folder);

// Why opening |name| (as the sentence calls it) failed with |error|: the
// system's text, except that ELOOP, from a single name opened without
// following links, means a symbolic link stands there.
std::string OpenErrorText(std::string_view name, int error);

// Opens the lock file |name| beneath |folder_fd| (or the path |name| with
// AT_FDCWD), made private to the user when missing.
Result<UniqueFd> OpenLockFile(int folder_fd, const std::string& name);
// Waits for the exclusive lock of |lock_fd|, held until the last
// descriptor of that open file closes.
Result<void> LockExclusively(int lock_fd);
// Whether some process holds the lock of the lock file at |path| at this
// moment, or waits for one that does. Answers at once.
bool LockIsHeld(const std::string& path);

// A file read whole.
struct WholeFile {
  enum class State {
    kMissing,     // Nothing by that name.
    kNotRegular,  // A folder, a FIFO, a device...: left unread.
    kUnreadable,  // Couldn't be opened or read; |error| says why.
    kRead,        // Its bytes are in |text|.
  };
  State state = State::kMissing;
  std::string text;
  int error = 0;
};
// Reads the file |name| beneath |folder_fd|, without waiting on a FIFO
// someone put there.
WholeFile ReadWholeFile(int folder_fd, const std::string& name);

// Removes the temporary files that writes of |name| which never finished
// left behind. Only with the lock held that every writer of |name| holds
// while its temporary file exists: any other one found then is stale.
void RemoveStaleTempFiles(int folder_fd, const std::string& name);

// Writes |pieces|, in order, to a new temporary file beside |name| and
// syncs it; answers the temporary file's name. Nothing is left behind on
// failure.
Result<std::string> WriteTempFile(int folder_fd, const std::string& name,
                                  const std::vector<std::string_view>& pieces);

// Puts the temporary file |temp_name| in |name|'s place and syncs the
// folder; what was at |name| is first moved aside when |move_aside|, only
// now, so that a write failing earlier leaves it where it was. The
// temporary file is removed when it can't take the place.
Result<void> ReplaceFile(int folder_fd, const std::string& temp_name,
                         const std::string& name, bool move_aside);

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_DURABLE_FILE_H_
