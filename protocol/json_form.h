// The JSON text form of property-list values, as the removal tool and
// Quillfen exchange RemovalRequest and RemovalReply through the shared
// domain. JSON true and false are booleans, whole numbers integers, other
// numbers reals; JSON null has no property-list counterpart and is refused.
// Output is compact (no added white space). Stateless: safe from any thread.
#ifndef QUILLFEN_PROTOCOL_JSON_FORM_H_
#define QUILLFEN_PROTOCOL_JSON_FORM_H_

#include <ostream>
#include <string>
#include <string_view>

#include "base/result.h"
#include "protocol/value.h"

namespace quillfen {

// Arrays and objects nested deeper than this are refused: reading and
// writing a value take one stack frame per level, and a few hundred
// kilobytes of brackets would otherwise overflow the stack. This system's
// own records nest three levels deep.
inline constexpr int kMaxJsonNesting = 512;

// Parses UTF-8 JSON text; the top level may be any JSON value nested at
// most kMaxJsonNesting deep.
Result<Value> ValueFromJsonText(std::string_view text);

// The same for a record read only to be summed up: the strings of the
// top-level array under |counted_key| are read as empty strings, so a long
// list of paths is counted without being held.
Result<Value> ValueFromJsonTextCounting(std::string_view text,
                                        std::string_view counted_key);

// Compact UTF-8 JSON text of |value|. Strings that are not valid UTF-8 are
// written with U+FFFD in place of their bad bytes, so this never fails.
std::string JsonTextFromValue(const Value& value);

// Writes the same text to |out| as it goes, without holding it whole.
void WriteJsonText(const Value& value, std::ostream& out);

// The same text, but only when |value| can be written exactly: an error
// when a string is not valid UTF-8 or a real is not finite.
Result<std::string> ExactJsonTextFromValue(const Value& value);
// The same for a dictionary, without copying it into a value first.
Result<std::string> ExactJsonTextFromDictionary(const Dictionary& dictionary);

}  // namespace quillfen

#endif  // QUILLFEN_PROTOCOL_JSON_FORM_H_
