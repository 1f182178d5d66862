#include "protocol/request_text.h"

#include <utility>

#include "protocol/json_form.h"

namespace quillfen {

RequestTextReading RequestFromJsonText(std::string_view text) {
  RequestTextReading reading;
  JsonParseResult parsed = ValueFromJsonText(text);
  if (!parsed.value) {
    reading.json_error = std::move(parsed.error);
  } else if (Dictionary* request = parsed.value->AsDictionary()) {
    reading.request = std::move(*request);
  } else {
    reading.top_level = parsed.value->type();
  }
  return reading;
}

}  // namespace quillfen
