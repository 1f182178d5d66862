#include "client/request_file.h"

#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "base/error_text.h"
#include "platform/unique_fd.h"
#include "protocol/request_text.h"

namespace quillfen {
namespace {

using Json = nlohmann::json;

// Listens to the parser only for where it fails: the byte count up to and
// including the one it could not take.
class FailurePosition : public nlohmann::json_sax<Json> {
 public:
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(std::int64_t) override { return true; }
  bool number_unsigned(std::uint64_t) override { return true; }
  bool number_float(double, const std::string&) override { return true; }
  bool string(std::string&) override { return true; }
  bool binary(Json::binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(std::string&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception&) override {
    position_ = position;
    return false;
  }

  std::size_t position() const { return position_; }

 private:
  std::size_t position_ = 0;
};

// Where in |text| the JSON goes wrong, in words: "line 3, column 5", or
// that it ends too soon; empty when it doesn't (the text is JSON).
std::string WhereJsonFails(std::string_view text) {
  FailurePosition listener;
  try {
    if (Json::sax_parse(text, &listener)) return "";
  } catch (const Json::exception&) {
    // Not JSON all the same; where, the listener may not know.
  }
  std::size_t position = listener.position();
  if (position == 0) return "at its start";
  if (position > text.size()) {
    return "it ends at line " +
           std::to_string(1 + std::count(text.begin(), text.end(), '\n')) +
           " before the JSON does";
  }
  std::string_view before = text.substr(0, position - 1);
  std::size_t line_start = before.rfind('\n');
  std::size_t column = line_start == std::string_view::npos
                           ? position
                           : position - 1 - line_start;
  return "line " +
         std::to_string(1 + std::count(before.begin(), before.end(), '\n')) +
         ", column " + std::to_string(column);
}

}  // namespace

Result<RemovalRequest> RequestFromText(std::string_view text,
                                       const std::string& source) {
  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    return ErrorMessage(source + " is empty");
  }
  Result<RemovalRequest> request = RequestFromJsonText(text);
  if (request) return request;
  if (std::string where = WhereJsonFails(text); !where.empty()) {
    return ErrorMessage(source + " is not valid JSON (" + where + ")");
  }
  return ErrorMessage(source + " is not a request: " + request.error().message);
}

Result<RemovalRequest> ReadRequestFile(const std::string& path) {
  const std::string source = path == "-" ? "the request on standard input"
                                         : "the request file " + path;
  Result<std::string> read =
      path == "-" ? ReadAll(STDIN_FILENO) : ReadWholeFile(path);
  if (!read) {
    return ErrorMessage("can't read " + source + ": " +
                        SystemErrorText(read.error().code));
  }
  return RequestFromText(*read, source);
}

}  // namespace quillfen
