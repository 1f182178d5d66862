// A request read from a file or standard input (--request), with what is
// wrong with one told in a person's words: where the text stops being
// JSON, by line and column, or why the JSON is not a request. Apart from
// reading the file, a pure function: safe from any thread.
#ifndef QUILLFEN_CLIENT_REQUEST_FILE_H_
#define QUILLFEN_CLIENT_REQUEST_FILE_H_

#include <string>
#include <string_view>

#include "base/result.h"
#include "protocol/value.h"

namespace quillfen {

// Reads the JSON request (an object) from |path|, "-" being standard input.
Result<RemovalRequest> ReadRequestFile(const std::string& path);

// The request in |text|, which came from |source| ("the request file
// r.json"), or what is wrong with it, in a sentence that begins with
// |source|.
Result<RemovalRequest> RequestFromText(std::string_view text,
                                       const std::string& source);

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_REQUEST_FILE_H_
