#include "client/removal_options.h"

#include <unistd.h>

#include <filesystem>

#include "base/error_text.h"
#include "platform/unique_fd.h"
#include "protocol/removal_keys.h"
#include "protocol/request_text.h"

namespace quillfen {
namespace {

Value NameList(const std::vector<std::string>& names) {
  Array array;
  for (const std::string& name : names) array.emplace_back(name);
  return Value(std::move(array));
}

}  // namespace

RemovalRequest RequestFromOptions(const RemovalOptions& options) {
  std::string volume = options.volume_path;
  if (!volume.empty() && volume.front() != '/') {
    std::error_code ignored;
    volume = (std::filesystem::current_path(ignored) / volume).string();
  }
  RemovalRequest request;
  request.emplace(kVolumePathKey, Value(volume));
  request.emplace(kAppleDoubleKey, Value(options.apple_double));
  request.emplace(kFileRemovalArrayKey, NameList(options.names));
  request.emplace(kExtensionsArrayKey, NameList(options.extensions));
  request.emplace(kFileKeepArrayKey, NameList(options.keep));
  return request;
}

Result<RemovalRequest> ReadRequest(const std::string& path) {
  Result<std::string> read =
      path == "-" ? ReadAll(STDIN_FILENO) : ReadWholeFile(path);
  if (!read) {
    return ErrorMessage(
        "can't read the request " +
        (path == "-" ? std::string("from standard input") : "file " + path) +
        ": " + SystemErrorText(read.error().code));
  }
  const std::string& text = *read;
  Result<RemovalRequest> request = RequestFromJsonText(text);
  if (request) return request;
  return ErrorMessage("the request is not a JSON object: " +
                      request.error().message);
}

}  // namespace quillfen
