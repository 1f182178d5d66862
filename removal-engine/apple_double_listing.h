// The AppleDouble listing: runs "/usr/bin/find VOLUME -name ._*" as a
// child process (started directly, no shell; a pipe on its standard output
// and another on its standard input, its standard error the service's own)
// and reads its output to the end, a line at a time as it comes: the output
// is never held whole. One path per line; only lines that name an item
// beneath the volume whose name begins "._" are kept, relative to the
// volume, so a name holding a line feed can't turn into some other path,
// and a line that the bus can't carry is dropped alone (the listing says
// that it dropped one). Whether a kept line
// names an item that exists is for the caller to check; and the listing
// says when it dropped a piece of a split path, so that the caller can find
// that item some other way.
//
// Runs on the calling thread and blocks it until find closes its output.
// Safe to run from several threads at once.
#ifndef QUILLFEN_REMOVAL_ENGINE_APPLE_DOUBLE_LISTING_H_
#define QUILLFEN_REMOVAL_ENGINE_APPLE_DOUBLE_LISTING_H_

#include <string>
#include <string_view>

#include "protocol/removal_progress.h"
#include "removal-engine/path_list.h"

namespace quillfen {

struct AppleDoubleListing {
  // As find printed them, less the volume's path and the slash after it.
  PathList paths;
  // Why find could not be run, or died before finishing; empty otherwise.
  std::string failure;
  // Whether some line was no path of the kind asked for: a piece of a
  // path holding a line feed, whose item the listing can't name.
  bool pieces_dropped = false;
  // Whether some "._" item was dropped because its path isn't text a
  // reply can carry: the caller must count it some other way.
  bool unnameable_dropped = false;
};

// Lists the "._" items beneath |volume_spelling| (an absolute path with no
// repeated or trailing slashes). A stop asked of |progress| (if any) kills
// find: the listing then ends with what was read, and says find stopped
// early.
AppleDoubleListing ListAppleDoubleFiles(const std::string& volume_spelling,
                                        RemovalProgress* progress = nullptr);

// Reads find's output in pieces as they come, keeping the lines that name
// an item beneath |volume_spelling| whose name begins "._" and that the bus
// can carry. A line that the next line continues (a name holding a line
// feed) is dropped with its continuation.
class AppleDoubleOutput {
 public:
  explicit AppleDoubleOutput(std::string_view volume_spelling);

  // The next piece of the output, cut anywhere.
  void Read(std::string_view piece);
  // The output has ended: gives the kept lines, whether some line was a
  // piece of a split path, and whether some was dropped for text the bus
  // can't carry.
  PathList Finish(bool* pieces_dropped = nullptr,
                  bool* unnameable_dropped = nullptr);

 private:
  void EndLine();
  // Keeps or drops the line held, knowing the one after it (if any).
  void Decide(const std::string* next);

  std::string volume_;
  std::string prefix_;  // The volume's path with a slash.
  std::string held_;    // The last whole line, until the next is known.
  bool holding_ = false;
  std::string line_;  // The line being read.
  std::size_t lines_ = 0;
  bool dropped_ = false;
  bool unnameable_dropped_ = false;
  PathList paths_;
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_APPLE_DOUBLE_LISTING_H_
