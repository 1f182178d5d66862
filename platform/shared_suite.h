// SharedSuite: the preferences domain that the removal tool and Quillfen
// share. It lives in ${XDG_CONFIG_HOME:-$HOME/.config}/<suite name>/ as
// preferences.json, one JSON object; keys this system doesn't know are kept
// exactly as they are.
//
// Sets and removals stay in memory until synchronize(), which takes an
// exclusive lock on preferences.lock, reads the file again, applies this
// object's pending changes, writes a temporary file in the same folder,
// syncs it, renames it over preferences.json and syncs the folder. Two
// processes flushing different keys never lose each other's writes. Reads
// see the latest flushed file plus this object's pending changes. A file
// that is not a JSON object, or nests deeper than kMaxJsonNesting, is read
// as an empty domain and is moved aside (kept, never overwritten) by the
// next flush.
//
// One SharedSuite may be used from several threads; its methods lock.
#ifndef QUILLFEN_PLATFORM_SHARED_SUITE_H_
#define QUILLFEN_PLATFORM_SHARED_SUITE_H_

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/value.h"

namespace quillfen {

class SharedSuite {
 public:
  // The domain named |suite_name| in the user's config folder.
  explicit SharedSuite(std::string_view suite_name);

  // The folder that holds the domain's files (not created here).
  static std::string FolderFor(std::string_view suite_name);
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

 private:
  const std::string folder_;
  mutable std::mutex mutex_;
  // Pending changes: a value to set, or nothing to remove.
  std::map<std::string, std::optional<Value>, std::less<>> pending_;
  std::string last_error_;
};

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_SHARED_SUITE_H_
