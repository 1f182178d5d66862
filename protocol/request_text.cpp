#include "protocol/request_text.h"

#include <string>
#include <utility>

#include "protocol/json_form.h"

namespace quillfen {

Result<RemovalRequest> RequestFromJsonText(std::string_view text) {
  Result<Value> parsed = ValueFromJsonText(text);
  if (!parsed) return parsed.error();
  if (Dictionary* request = parsed->AsDictionary()) return std::move(*request);
  return ErrorMessage("the top level is " +
                      std::string(DescribeType(parsed->type())) +
                      ", not an object");
}

}  // namespace quillfen
