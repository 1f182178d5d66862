#include "service-bus/dbus_value.h"

#include <sdbus-c++/Error.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "protocol/bus_string.h"

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

Result<Value> FromVariant(const sdbus::Variant& variant);

// A string read from the bus passed the library's check on the way in;
// checking again costs little and keeps the rule in one place.
Result<Value> FromWireString(std::string text) {
  std::string_view fault = BusStringFault(text);
  if (!fault.empty()) {
    return ErrorMessage("a string holds " + std::string(fault));
  }
  return Value(std::move(text));
}

Result<Dictionary> FromDbusDictionary(const DbusDictionary& dictionary) {
  Dictionary out;
  for (const auto& [key, variant] : dictionary) {
    std::string_view key_fault = BusStringFault(key);
    if (!key_fault.empty()) {
      return ErrorMessage("a key holds " + std::string(key_fault));
    }
    Result<Value> value = FromVariant(variant);
    if (!value) return ErrorMessage("“" + key + "”: " + value.error().message);
    out.insert_or_assign(key, std::move(*value));
  }
  return out;
}

// A truth value or a number of any of the bus's sizes, as the one integer
// or real type a property list has; any other type has no form there.
Result<Value> ScalarFromVariant(const sdbus::Variant& variant,
                                const std::string& type) {
  if (type == "b") return Value(variant.get<bool>());
  if (type == "y") return Value(std::int64_t{variant.get<std::uint8_t>()});
  if (type == "n") return Value(std::int64_t{variant.get<std::int16_t>()});
  if (type == "q") return Value(std::int64_t{variant.get<std::uint16_t>()});
  if (type == "i") return Value(std::int64_t{variant.get<std::int32_t>()});
  if (type == "u") return Value(std::int64_t{variant.get<std::uint32_t>()});
  if (type == "x") return Value(variant.get<std::int64_t>());
  if (type == "d") return Value(variant.get<double>());
  if (type == "t") {
    auto u = variant.get<std::uint64_t>();
    if (u <=
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return Value(static_cast<std::int64_t>(u));
    }
    return Value(static_cast<double>(u));
  }
  return ErrorMessage("the D-Bus type “" + type +
                      "” has no property-list form");
}

Result<Value> FromVariant(const sdbus::Variant& variant) {
  const std::string type = variant.peekValueType();
  if (type == "s") return FromWireString(variant.get<std::string>());
  if (type == "v") return FromVariant(variant.get<sdbus::Variant>());
  if (type == "as") {
    std::vector<std::string> strings = variant.get<std::vector<std::string>>();
    Array array;
    array.reserve(strings.size());
    for (std::string& s : strings) {
      Result<Value> element = FromWireString(std::move(s));
      if (!element) return element.error();
      array.push_back(std::move(*element));
    }
    return Value(std::move(array));
  }
  if (type == "av") {
    Array array;
    for (const sdbus::Variant& v : variant.get<std::vector<sdbus::Variant>>()) {
      Result<Value> element = FromVariant(v);
      if (!element) return element.error();
      array.push_back(std::move(*element));
    }
    return Value(std::move(array));
  }
  if (type == "a{sv}") {
    Result<Dictionary> dictionary =
        FromDbusDictionary(variant.get<DbusDictionary>());
    if (!dictionary) return dictionary.error();
    return Result<Value>(std::in_place, std::move(*dictionary));
  }
  return ScalarFromVariant(variant, type);
}

Result<Dictionary> DictionaryFromMessage(sdbus::Message& message);

// Reads the variant at the message's position. A list of strings and a
// dictionary, which may be long, are read in place; anything else is small
// and is read through the library's own variant.
Result<Value> VariantFromMessage(sdbus::Message& message) {
  std::string kind, contents;
  message.peekType(kind, contents);
  if (contents != "as" && contents != "a{sv}") {
    sdbus::Variant variant;
    message >> variant;
    return FromVariant(variant);
  }
  message.enterVariant(contents);
  Value value;
  if (contents == "as") {
    Array array;
    message.enterContainer("s");
    std::string text;
    while (message >> text) {
      Result<Value> element = FromWireString(std::move(text));
      if (!element) return element.error();
      array.push_back(std::move(*element));
    }
    message.clearFlags();
    message.exitContainer();
    value = Value(std::move(array));
  } else {
    Result<Dictionary> dictionary = DictionaryFromMessage(message);
    if (!dictionary) return dictionary.error();
    value = Value(std::move(*dictionary));
  }
  message.exitVariant();
  return value;
}

Result<Dictionary> DictionaryFromMessage(sdbus::Message& message) {
  Dictionary out;
  message.enterContainer("{sv}");
  while (message.enterDictEntry("sv")) {
    std::string key;
    message >> key;
    std::string_view key_fault = BusStringFault(key);
    if (!key_fault.empty()) {
      return ErrorMessage("a key holds " + std::string(key_fault));
    }
    Result<Value> value = VariantFromMessage(message);
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
    return DictionaryFromMessage(message);
  } catch (const sdbus::Error& e) {
    return ErrorMessage(e.getMessage());
  }
}

Result<Dictionary> DictionaryFromDbus(const DbusDictionary& dictionary) {
  return FromDbusDictionary(dictionary);
}

}  // namespace quillfen
