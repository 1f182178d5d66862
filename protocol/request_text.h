// A RemovalRequest from the JSON text it travels as through the shared
// domain or is read from a file: the one reading of that text, for the
// removal tool and the client alike. Each caller words its own failure from
// what is returned. A pure function: safe from any thread.
#ifndef QUILLFEN_PROTOCOL_REQUEST_TEXT_H_
#define QUILLFEN_PROTOCOL_REQUEST_TEXT_H_

#include <optional>
#include <string>
#include <string_view>

#include "protocol/value.h"

namespace quillfen {

struct RequestTextReading {
  std::optional<RemovalRequest> request;
  // When there is no request, either the text is not JSON (why, in
  // |json_error|) or its top level is not an object (what it is instead).
  std::string json_error;
  std::optional<Value::Type> top_level;
};

RequestTextReading RequestFromJsonText(std::string_view text);

}  // namespace quillfen

#endif  // QUILLFEN_PROTOCOL_REQUEST_TEXT_H_
