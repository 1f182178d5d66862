// SharedSuite: a preferences domain that several programs of one user
// share (an application group). It lives in
// ${XDG_CONFIG_HOME:-$HOME/.config}/<suite name>/ as preferences.json, one JSON
// object; every key this object doesn't change is written back as the very text
// it was read as (see JsonObjectText).
//
// Sets and removals stay in memory until synchronize(), which, under an
// exclusive lock on preferences.lock, reads the file again, applies this
// object's pending changes and replaces the file durably
// (platform/durable_file.h): two processes flushing different keys never
// lose each other's writes, and a symbolic link in place of the lock or the
// file is refused, never written through. Reads see the latest flushed
// file plus this object's pending changes. A file that is not JSON, or
// whose top level is not an object, is read as an empty domain and is
// moved aside (kept, never overwritten) by the next flush.
//
// One SharedSuite may be used from several threads; its methods lock.
#ifndef QUILLFEN_PLATFORM_SHARED_SUITE_H_
#define QUILLFEN_PLATFORM_SHARED_SUITE_H_

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "protocol/value.h"

namespace quillfen {

class JsonObjectText;

class SharedSuite {
 public:
  // The domain named |suite_name| in the user's config folder.
  explicit SharedSuite(std::string_view suite_name);

  // The folder that holds the domain's files (not created here).
  static std::string FolderFor(std::string_view suite_name);
  // Creates |folder|, as FolderFor() answers it, and its missing parents,
  // each private to the user (0700); an existing folder is left as it is.
  // The one place the domain's folder is made: by a flush, by the exchange
  // turn, and by a program before it confines itself there.
  static Result<void> MakeFolder(const std::string& folder);
  const std::string& folder() const { return folder_; }

  // The value under |key|, or nothing when it is absent (or has no
  // property-list form, such as a JSON null).
  std::optional<Value> objectForKey(std::string_view key);
  // Sets |key|; nothing as |value| removes the key.
  void setObject(std::optional<Value> value, std::string_view key);
  void removeObjectForKey(std::string_view key);

  // Writes the pending changes through. False, with lastError() saying
  // why, when they could not be written; they then stay pending and the
  // file on disk is left as it was.
  bool synchronize();
  std::string lastError() const;

  struct Taken {
    bool found = false;          // The key was there, and is gone now.
    std::optional<Value> value;  // Its value, when it has a property-list
                                 // form (a JSON null has none).
  };
  // Reads |key|, removes it and flushes (pending changes too) in one step
  // under the domain's lock, so that of processes taking the same key at
  // once only one finds it. Nothing, with lastError() saying why, when the
  // domain could not be locked, read or written: the key then stays.
  std::optional<Taken> takeObjectForKey(std::string_view key);

  // Whether some process holds the domain's lock at this moment: a flush
  // is under way, or waits for one that is. Answers at once.
  bool FlushUnderWay() const;

 private:
  // synchronize(), taking |take_key| out as it goes unless it is empty.
  bool Flush(std::string_view take_key, Taken* taken);
  // Applies the pending changes, and the taking of |take_key|, to |domain|.
  // False when there is nothing to take and nothing to write.
  bool ApplyChanges(JsonObjectText& domain, std::string_view take_key,
                    Taken* taken);
  // Keeps |error| for lastError(); answers false, for the failed flush.
  bool Failed(const Error& error);

  const std::string folder_;
  mutable std::mutex mutex_;
  // Pending changes: a value to set, or nothing to remove.
  std::map<std::string, std::optional<Value>, std::less<>> pending_;
  std::string last_error_;
};

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_SHARED_SUITE_H_
