#include "protocol/request_text.h"

#include <utility>

#include "protocol/json_form.h"

namespace quillfen {

RequestTextReading RequestFromJsonText(std::string_view text) {
  RequestTextReading reading;
  Result<Value> parsed = ValueFromJsonText(text);
  if (!parsed) {
    reading.json_error = parsed.error().message;
  } else if (Dictionary* request = parsed->AsDictionary()) {
    reading.request = std::move(*request);
  } else {
    reading.top_level = parsed->type();
  }
  return reading;
}

}  // namespace quillfen
