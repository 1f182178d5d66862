#include "service-bus/dbus_value.h"

#include <sdbus-c++/Error.h>

#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "protocol/bus_string.h"

namespace sdbus {
// A message of one's own, not sent anywhere: the library has it from 1.2 on
// and declares it in its headers from 1.3 on (this declaration is theirs).
PlainMessage createPlainMessage();
}  // namespace sdbus

namespace quillfen {
namespace {

sdbus::Variant ToVariant(const Value& value);
DbusDictionary ToDbusDictionary(const Dictionary& dictionary);

sdbus::Variant ArrayToVariant(const Array& array) {
  bool all_strings = true;
  for (const Value& element : array) {
    if (element.AsString() == nullptr) {
      all_strings = false;
      break;
    }
  }
  if (all_strings) {
    std::vector<std::string> strings;
    strings.reserve(array.size());
    for (const Value& element : array) strings.push_back(*element.AsString());
    return sdbus::Variant(strings);
  }
  std::vector<sdbus::Variant> variants;
  variants.reserve(array.size());
  for (const Value& element : array) variants.push_back(ToVariant(element));
  return sdbus::Variant(variants);
}

sdbus::Variant ToVariant(const Value& value) {
  switch (value.type()) {
    case Value::Type::kString:
      return sdbus::Variant(*value.AsString());
    case Value::Type::kBoolean:
      return sdbus::Variant(*value.AsBoolean());
    case Value::Type::kInteger:
      return sdbus::Variant(*value.AsInteger());
    case Value::Type::kReal:
      return sdbus::Variant(*value.AsReal());
    case Value::Type::kArray:
      return ArrayToVariant(*value.AsArray());
    case Value::Type::kDictionary:
      return sdbus::Variant(ToDbusDictionary(*value.AsDictionary()));
  }
  return sdbus::Variant();
}

DbusDictionary ToDbusDictionary(const Dictionary& dictionary) {
  DbusDictionary out;
  for (const auto& [key, value] : dictionary) {
    out.emplace(key, ToVariant(value));
  }
  return out;
}

// The variant signature ToVariant gives |value|.
const char* VariantSignature(const Value& value) {
  switch (value.type()) {
    case Value::Type::kString:
      return "s";
    case Value::Type::kBoolean:
      return "b";
    case Value::Type::kInteger:
      return "x";
    case Value::Type::kReal:
      return "d";
    case Value::Type::kArray:
      for (const Value& element : *value.AsArray()) {
        if (element.AsString() == nullptr) return "av";
      }
      return "as";
    case Value::Type::kDictionary:
      return "a{sv}";
  }
  return "s";
}

void AppendVariant(const Value& value, sdbus::Message& message) {
  const char* signature = VariantSignature(value);
  message.openVariant(signature);
  switch (value.type()) {
    case Value::Type::kString:
      message << *value.AsString();
      break;
    case Value::Type::kBoolean:
      message << *value.AsBoolean();
      break;
    case Value::Type::kInteger:
      message << *value.AsInteger();
      break;
    case Value::Type::kReal:
      message << *value.AsReal();
      break;
    case Value::Type::kArray:
      // "as" or "av": the element signature is the rest.
      message.openContainer(signature + 1);
      for (const Value& element : *value.AsArray()) {
        if (signature[1] == 's') {
          message << *element.AsString();
        } else {
          AppendVariant(element, message);
        }
      }
      message.closeContainer();
      break;
    case Value::Type::kDictionary:
      AppendDbusDictionary(*value.AsDictionary(), message);
      break;
  }
  message.closeVariant();
}

// Where the next value of |alignment| starts, from |offset|.
std::size_t Aligned(std::size_t offset, std::size_t alignment) {
  return (offset + alignment - 1) / alignment * alignment;
}

std::size_t EncodedDictionaryEnd(const Dictionary& dictionary,
                                 std::size_t offset);

// Where a string ends: its length, its bytes and their NUL.
std::size_t EncodedStringEnd(const std::string& text, std::size_t offset) {
  return Aligned(offset, 4) + 4 + text.size() + 1;
}

// Where |value| ends as AppendVariant writes it from |offset|: its
// signature, then the value at its own alignment.
std::size_t EncodedVariantEnd(const Value& value, std::size_t offset) {
  const char* signature = VariantSignature(value);
  offset += 1 + std::char_traits<char>::length(signature) + 1;
  switch (value.type()) {
    case Value::Type::kString:
      return EncodedStringEnd(*value.AsString(), offset);
    case Value::Type::kBoolean:
      return Aligned(offset, 4) + 4;
    case Value::Type::kInteger:
    case Value::Type::kReal:
      return Aligned(offset, 8) + 8;
    case Value::Type::kArray:
      offset = Aligned(offset, 4) + 4;
      for (const Value& element : *value.AsArray()) {
        offset = signature[1] == 's'
                     ? EncodedStringEnd(*element.AsString(), offset)
                     : EncodedVariantEnd(element, offset);
      }
      return offset;
    case Value::Type::kDictionary:
      return EncodedDictionaryEnd(*value.AsDictionary(), offset);
  }
  return offset;
}

// Its length, then entries that start on eight bytes, even when empty.
std::size_t EncodedDictionaryEnd(const Dictionary& dictionary,
                                 std::size_t offset) {
  offset = Aligned(Aligned(offset, 4) + 4, 8);
  for (const auto& [key, value] : dictionary) {
    offset =
        EncodedVariantEnd(value, EncodedStringEnd(key, Aligned(offset, 8)));
  }
  return offset;
}

// A string read from the bus passed the library's check on the way in;
// checking again costs little and keeps the rule in one place.
Result<Value> FromWireString(std::string text) {
  std::string_view fault = BusStringFault(text);
  if (!fault.empty()) {
    return ErrorMessage("a string holds " + std::string(fault));
  }
  return Value(std::move(text));
}

Error NoPropertyListForm(const std::string& signature) {
  return ErrorMessage("the D-Bus type “" + signature +
                      "” has no property-list form");
}

// The signature of the value peekType describes, as callers write it.
std::string PeekedSignature(const std::string& type,
                            const std::string& contents) {
  if (type == "a") return "a" + contents;
  if (type == "r") return "(" + contents + ")";
  if (type == "e") return "{" + contents + "}";
  return type;
}

Result<Value> ValueFromMessage(sdbus::Message& message);

// A truth value or a number of any of the bus's sizes, as the one integer
// or real type a property list has.
template <typename Number>
Value NumberFromMessage(sdbus::Message& message) {
  Number number{};
  message >> number;
  if constexpr (std::is_same_v<Number, bool> ||
                std::is_same_v<Number, double>) {
    return Value(number);
  } else if constexpr (std::is_same_v<Number, std::uint64_t>) {
    if (number <=
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return Value(static_cast<std::int64_t>(number));
    }
    return Value(static_cast<double>(number));
  } else {
    return Value(static_cast<std::int64_t>(number));
  }
}

// An array of any element type, read in place: a list of paths may be
// long. The bus knows no other end than the element type's running out.
Result<Value> ArrayFromMessage(sdbus::Message& message,
                               const std::string& element) {
  Array array;
  message.enterContainer(element);
  if (element == "s") {
    std::string text;
    while (message >> text) {
      Result<Value> value = FromWireString(std::move(text));
      if (!value) return value.error();
      array.push_back(std::move(*value));
    }
    message.clearFlags();
  } else {
    for (;;) {
      std::string type, contents;
      message.peekType(type, contents);
      if (type.empty() || type[0] == '\0') break;
      Result<Value> value = ValueFromMessage(message);
      if (!value) return value.error();
      array.push_back(std::move(*value));
    }
  }
  message.exitContainer();
  return Value(std::move(array));
}

// A dictionary whose entries have the signature |entry| ("sv", "ss", ...).
// A property list's keys are strings; any value type is read.
Result<Dictionary> DictionaryFromEntries(sdbus::Message& message,
                                         const std::string& entry) {
  if (entry.empty() || entry[0] != 's') {
    return NoPropertyListForm("a{" + entry + "}");
  }
  Dictionary out;
  message.enterContainer("{" + entry + "}");
  while (message.enterDictEntry(entry)) {
    std::string key;
    message >> key;
    std::string_view key_fault = BusStringFault(key);
    if (!key_fault.empty()) {
      return ErrorMessage("a key holds " + std::string(key_fault));
    }
    Result<Value> value = ValueFromMessage(message);
    if (!value) return ErrorMessage("“" + key + "”: " + value.error().message);
    message.exitDictEntry();
    // A repeated key keeps its first value, as the library's own reading
    // into a map does.
    out.emplace(std::move(key), std::move(*value));
  }
  message.clearFlags();
  message.exitContainer();
  return out;
}

// Reads the complete value at the message's position, whatever its type.
Result<Value> ValueFromMessage(sdbus::Message& message) {
  std::string type, contents;
  message.peekType(type, contents);
  switch (type.empty() ? '\0' : type[0]) {
    case 's': {
      std::string text;
      message >> text;
      return FromWireString(std::move(text));
    }
    case 'b':
      return NumberFromMessage<bool>(message);
    case 'y':
      return NumberFromMessage<std::uint8_t>(message);
    case 'n':
      return NumberFromMessage<std::int16_t>(message);
    case 'q':
      return NumberFromMessage<std::uint16_t>(message);
    case 'i':
      return NumberFromMessage<std::int32_t>(message);
    case 'u':
      return NumberFromMessage<std::uint32_t>(message);
    case 'x':
      return NumberFromMessage<std::int64_t>(message);
    case 't':
      return NumberFromMessage<std::uint64_t>(message);
    case 'd':
      return NumberFromMessage<double>(message);
    case 'v': {
      message.enterVariant(contents);
      Result<Value> value = ValueFromMessage(message);
      if (value) message.exitVariant();
      return value;
    }
    case 'a':
      if (contents.starts_with('{')) {
        Result<Dictionary> dictionary = DictionaryFromEntries(
            message, contents.substr(1, contents.size() - 2));
        if (!dictionary) return dictionary.error();
        return Result<Value>(std::in_place, std::move(*dictionary));
      }
      return ArrayFromMessage(message, contents);
  }
  return NoPropertyListForm(PeekedSignature(type, contents));
}

}  // namespace

std::size_t DbusEncodedSize(const Dictionary& dictionary) {
  // A message's body starts on eight bytes.
  return EncodedDictionaryEnd(dictionary, 0);
}

std::string MebibytesText(std::size_t bytes) {
  constexpr std::size_t kMebibyte = std::size_t{1} << 20;
  return std::to_string((bytes + kMebibyte - 1) / kMebibyte) + " MiB";
}

Result<DbusDictionary> DbusFromDictionary(const Dictionary& dictionary) {
  std::string fault = DictionaryBusFault(dictionary);
  if (!fault.empty()) return ErrorMessage(std::move(fault));
  try {
    return ToDbusDictionary(dictionary);
  } catch (const sdbus::Error& e) {
    return ErrorMessage(e.getMessage());
  }
}

void AppendDbusDictionary(const Dictionary& dictionary,
                          sdbus::Message& message) {
  message.openContainer("{sv}");
  for (const auto& [key, value] : dictionary) {
    message.openDictEntry("sv");
    message << key;
    AppendVariant(value, message);
    message.closeDictEntry();
  }
  message.closeContainer();
}

Result<Dictionary> DictionaryFromDbusMessage(sdbus::Message& message) {
  try {
    return DictionaryFromEntries(message, "sv");
  } catch (const sdbus::Error& e) {
    return ErrorMessage(e.getMessage());
  }
}

Result<Dictionary> DictionaryFromDbus(const DbusDictionary& dictionary) {
  // Written out again, the variants are read the one way a message is,
  // whatever types they hold.
  try {
    sdbus::PlainMessage message = sdbus::createPlainMessage();
    message << dictionary;
    message.seal();
    message.rewind(true);
    return DictionaryFromDbusMessage(message);
  } catch (const sdbus::Error& e) {
    return ErrorMessage(e.getMessage());
  }
}

}  // namespace quillfen
