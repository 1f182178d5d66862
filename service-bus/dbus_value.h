// The D-Bus form of property-list dictionaries, as RemovalRequest and
// RemovalReply travel on the bus (signature a{sv}). Strings go as "s",
// booleans "b", integers "x", reals "d", lists of strings (and empty lists)
// "as", other lists "av", dictionaries "a{sv}". Coming in, every integer
// type and "d" are numbers, an array of any convertible element type is a
// list ("ai", "aa{sv}", and "ay" too: a property list has no byte data, so
// bytes are a list of numbers), any dictionary with string keys is a
// dictionary, and a nested "v" is unwrapped. Object paths, signatures,
// descriptors, structures and other keys have no property-list form and
// are refused, never dropped: a keep list that vanished would read as
// empty. Every string, keys included, must pass the bus's own check
// (bus_string.h) both ways: a dictionary holding one that doesn't is
// refused whole, never sent shortened. Stateless: safe from any thread.
#ifndef QUILLFEN_SERVICE_BUS_DBUS_VALUE_H_
#define QUILLFEN_SERVICE_BUS_DBUS_VALUE_H_

#include <sdbus-c++/Message.h>
#include <sdbus-c++/Types.h>

#include <cstddef>
#include <map>
#include <string>

#include "base/result.h"
#include "protocol/value.h"

namespace quillfen {

using DbusDictionary = std::map<std::string, sdbus::Variant>;

// The most a dictionary's a{sv} form may take in one bus message. The bus
// carries an array of at most 64 MiB, and the a{sv} is one array whole; the
// margin leaves room for the message's header and for a bus set up tighter.
// A request over it is refused before it is sent; a reply over it goes as
// a file (reply_file.h).
inline constexpr std::size_t kMaxBusDictionaryBytes = std::size_t{48} << 20;

// The bytes |dictionary| takes as the body of a message, as
// AppendDbusDictionary writes it (padding included).
std::size_t DbusEncodedSize(const Dictionary& dictionary);

// "71 MiB": such a size, rounded up, as messages about it give it.
std::string MebibytesText(std::size_t bytes);

Result<DbusDictionary> DbusFromDictionary(const Dictionary& dictionary);

// Writes |dictionary| into |message| in the same form, as one a{sv}
// argument, without building variants first: a long reply is then held
// once, as its message. The caller checks DictionaryBusFault first; the
// library's sdbus::Error comes through when the message can't take it.
void AppendDbusDictionary(const Dictionary& dictionary,
                          sdbus::Message& message);

Result<Dictionary> DictionaryFromDbus(const DbusDictionary& dictionary);

// The same, read straight from |message|'s next argument (an a{sv}), so a
// long reply is not held as variants first. A message that ends early or
// holds another type is an error too.
Result<Dictionary> DictionaryFromDbusMessage(sdbus::Message& message);

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_DBUS_VALUE_H_
