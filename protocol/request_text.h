// A RemovalRequest from the JSON text it travels as through the shared
// domain or is read from a file: the one reading of that text, for the
// removal tool, the client and the engine's own program alike. A pure
// function: safe from any thread.
#ifndef QUILLFEN_PROTOCOL_REQUEST_TEXT_H_
#define QUILLFEN_PROTOCOL_REQUEST_TEXT_H_

#include <string_view>

#include "base/result.h"
#include "protocol/value.h"

namespace quillfen {

// The request, or why there is none, for a caller to put after its own
// words: the text is not JSON (the parser's reason), or its top level is
// not an object ("the top level is a number, not an object").
Result<RemovalRequest> RequestFromJsonText(std::string_view text);

}  // namespace quillfen

#endif  // QUILLFEN_PROTOCOL_REQUEST_TEXT_H_
