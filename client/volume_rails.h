// The client's rails: folders a person almost surely didn't mean to clean.
// The root of the system is never a volume; the home folder, or a folder
// that holds it, is cleaned only when the person insists (--force). Folders
// are compared by identity, so no spelling ("/tmp/..", a link, a trailing
// slash) gets past. Also what a preview tells of other file systems beneath
// the volume, which no removal enters. Safe from any thread.
#ifndef QUILLFEN_CLIENT_VOLUME_RAILS_H_
#define QUILLFEN_CLIENT_VOLUME_RAILS_H_

#include <string>

#include "base/result.h"

namespace quillfen {

// Answers why |volume_path| must not be cleaned, as one sentence for the
// person, or nothing. |force| lets the home folder through, never the root.
// A volume that can't be looked at passes: the removal says what is wrong.
Result<void> CheckVolumeChoice(const std::string& volume_path, bool force);

// Lines naming the file systems mounted beneath |volume_path| that a
// removal won't enter ("" when there are none).
std::string OtherFileSystemsNote(const std::string& volume_path);

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_VOLUME_RAILS_H_
