// What a string must be to cross the bus, and the one check of it. The bus
// library takes a string up to its first NUL and refuses, by throwing,
// text that is not valid UTF-8 or that holds a Unicode noncharacter
// (U+FDD0..U+FDEF and the last two code points of every plane). A string
// that fails this check must therefore never be handed to the library: a
// value holding one is refused whole, and never arrives shortened or not
// at all. Messages that quote outside text (names on a volume) pass it
// through BusSafeText first. Pure functions: safe from any thread.
#ifndef QUILLFEN_PROTOCOL_BUS_STRING_H_
#define QUILLFEN_PROTOCOL_BUS_STRING_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/value.h"

namespace quillfen {

// Reads the UTF-8 character at |p|: its length in bytes, or 0 when the
// bytes there are not a shortest-form character up to U+10FFFF other than
// a UTF-16 surrogate. Sets |code_point|.
int ReadUtf8Character(const unsigned char* p, const unsigned char* end,
                      std::uint32_t* code_point);
// The other way: appends |code_point| (up to U+10FFFF) to |out| as UTF-8.
void AppendUtf8Character(std::uint32_t code_point, std::string* out);

// Why |text| can't cross the bus ("a NUL character", "a Unicode
// noncharacter", "text that isn’t valid UTF-8"), or empty when it can.
std::string_view BusStringFault(std::string_view text);

inline bool IsBusString(std::string_view text) {
  return BusStringFault(text).empty();
}

// |text| with every character or byte that can't cross the bus replaced
// by U+FFFD: for the text of a message, never for a path or a key.
std::string BusSafeText(std::string_view text);

// The first string in |dictionary| (keys too, at any depth) that can't
// cross the bus, told by the top-level entry it lies in: "“volumePath”
// holds a NUL character", "a key holds ...". Empty when every string can.
std::string DictionaryBusFault(const Dictionary& dictionary);

// The refusal of a request holding such a string, for its "errorDict",
// from the fault DictionaryBusFault found.
std::string RequestBusRefusal(std::string_view fault);

}  // namespace quillfen

#endif  // QUILLFEN_PROTOCOL_BUS_STRING_H_
