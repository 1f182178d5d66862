#include "client/removal_options.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

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
  std::string text;
  if (path == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), {});
  } else {
    std::ifstream file(path, std::ios::binary);
    if (!file) return ErrorMessage("can't read the request file " + path);
    text.assign(std::istreambuf_iterator<char>(file), {});
  }
  RequestTextReading parsed = RequestFromJsonText(text);
  if (parsed.request) return std::move(*parsed.request);
  if (parsed.top_level) {
    return ErrorMessage("the request is " +
                        std::string(DescribeType(*parsed.top_level)) +
                        ", not a JSON object");
  }
  return ErrorMessage("the request is not JSON: " + parsed.json_error);
}

}  // namespace quillfen
