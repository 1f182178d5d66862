// How the client turns what a person typed into a RemovalRequest: from
// options (a volume, globs for names, extensions and names to keep, the
// presets, whether "._" files go), or from a JSON request read from a file
// or standard input, which goes untouched. Options are globs as fnmatch
// reads them (glob_entry.h): a glob that is a plain name travels as an
// exact entry, any other as a wildcard entry that means the same. The keep
// list always wins: the request's own keep list covers exact entries and
// "._" files, so every name the keep globs match is also taken out of each
// wildcard entry; a keep glob that isn't a plain name turns every rule into
// a wildcard entry. Pure functions, apart from reading the file: safe from
// any thread.
#ifndef QUILLFEN_CLIENT_REMOVAL_OPTIONS_H_
#define QUILLFEN_CLIENT_REMOVAL_OPTIONS_H_

#include <string>
#include <vector>

#include "base/result.h"
#include "protocol/value.h"

namespace quillfen {

struct RemovalOptions {
  std::string volume_path;
  bool apple_double = false;
  std::vector<std::string> names;       // Globs for whole names.
  std::vector<std::string> extensions;  // Globs for extensions.
  std::vector<std::string> keep;        // Globs for names never removed.
  bool ignore_case = false;             // Every glob, as FNM_CASEFOLD.
  bool mac = false;      // "._" files and what macOS leaves on a volume.
  bool windows = false;  // What Windows leaves on a volume.

  // Whether anything at all is asked to go.
  bool HasRules() const;
};

// The names the presets add to the name globs.
inline constexpr const char* kMacNames[] = {
    ".DS_Store",  ".Spotlight-V100", ".Trashes",
    ".fseventsd", ".TemporaryItems", ".apdisk"};
inline constexpr const char* kWindowsNames[] = {"Thumbs.db", "ehthumbs.db",
                                                "desktop.ini", "$RECYCLE.BIN"};

// The request for |options|, or why a glob can't be read. A relative
// volume path is made absolute against the working folder, so that the
// request means what was typed. A glob the bus can't carry (not UTF-8)
// goes as typed: the request is then refused as any such request is.
Result<RemovalRequest> RequestFromOptions(const RemovalOptions& options);

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_REMOVAL_OPTIONS_H_
