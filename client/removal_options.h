// How the client turns what a person typed into a RemovalRequest: from
// options (a volume, names, extensions, a keep list, whether "._" files
// go), or from a JSON request read from a file or standard input. Pure
// functions, apart from reading the file: safe from any thread.
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
  std::vector<std::string> names;       // "fileRemovalArray"
  std::vector<std::string> extensions;  // "extensionsArray"
  std::vector<std::string> keep;        // "fileKeepArray"
};

// The request for |options|. A relative volume path is made absolute
// against the working folder, so that the request means what was typed.
RemovalRequest RequestFromOptions(const RemovalOptions& options);

// Reads a JSON request (an object) from |path|, "-" being standard input.
Result<RemovalRequest> ReadRequest(const std::string& path);

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_REMOVAL_OPTIONS_H_
