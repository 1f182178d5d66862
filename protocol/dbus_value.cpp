#include "protocol/dbus_value.h"

#include <sdbus-c++/Error.h>

#include <cstdint>
#include <limits>
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

bool FromVariant(const sdbus::Variant& variant, Value* out, std::string* error);

// A string read from the bus passed the library's check on the way in;
// checking again costs little and keeps the rule in one place.
bool FromWireString(std::string text, Value* out, std::string* error) {
  std::string_view fault = BusStringFault(text);
  if (!fault.empty()) {
    *error = "a string holds " + std::string(fault);
    return false;
  }
  *out = Value(std::move(text));
  return true;
}

bool FromDbusDictionary(const DbusDictionary& dictionary, Dictionary* out,
                        std::string* error) {
  for (const auto& [key, variant] : dictionary) {
    Value value;
    std::string_view key_fault = BusStringFault(key);
    if (!key_fault.empty()) {
      *error = "a key holds " + std::string(key_fault);
      return false;
    }
    if (!FromVariant(variant, &value, error)) {
      *error = "“" + key + "”: " + *error;
      return false;
    }
    out->insert_or_assign(key, std::move(value));
  }
  return true;
}

bool FromVariant(const sdbus::Variant& variant, Value* out,
                 std::string* error) {
  const std::string type = variant.peekValueType();
  if (type == "s") {
    return FromWireString(variant.get<std::string>(), out, error);
  } else if (type == "b") {
    *out = Value(variant.get<bool>());
  } else if (type == "y") {
    *out = Value(std::int64_t{variant.get<std::uint8_t>()});
  } else if (type == "n") {
    *out = Value(std::int64_t{variant.get<std::int16_t>()});
  } else if (type == "q") {
    *out = Value(std::int64_t{variant.get<std::uint16_t>()});
  } else if (type == "i") {
    *out = Value(std::int64_t{variant.get<std::int32_t>()});
  } else if (type == "u") {
    *out = Value(std::int64_t{variant.get<std::uint32_t>()});
  } else if (type == "x") {
    *out = Value(variant.get<std::int64_t>());
  } else if (type == "t") {
    auto u = variant.get<std::uint64_t>();
    if (u <=
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      *out = Value(static_cast<std::int64_t>(u));
    } else {
      *out = Value(static_cast<double>(u));
    }
  } else if (type == "d") {
    *out = Value(variant.get<double>());
  } else if (type == "v") {
    return FromVariant(variant.get<sdbus::Variant>(), out, error);
  } else if (type == "as") {
    std::vector<std::string> strings = variant.get<std::vector<std::string>>();
    Array array;
    array.reserve(strings.size());
    for (std::string& s : strings) {
      Value v;
      if (!FromWireString(std::move(s), &v, error)) return false;
      array.push_back(std::move(v));
    }
    *out = Value(std::move(array));
  } else if (type == "av") {
    std::vector<sdbus::Variant> elements =
        variant.get<std::vector<sdbus::Variant>>();
    Array array;
    array.reserve(elements.size());
    for (const sdbus::Variant& element : elements) {
      Value v;
      if (!FromVariant(element, &v, error)) return false;
      array.push_back(std::move(v));
    }
    *out = Value(std::move(array));
  } else if (type == "a{sv}") {
    Dictionary dictionary;
    if (!FromDbusDictionary(variant.get<DbusDictionary>(), &dictionary,
                            error)) {
      return false;
    }
    *out = Value(std::move(dictionary));
  } else {
    *error = "the D-Bus type “" + type + "” has no property-list form";
    return false;
  }
  return true;
}

bool DictionaryFromMessage(sdbus::Message& message, Dictionary* out,
                           std::string* error);

// Reads the variant at the message's position. A list of strings and a
// dictionary, which may be long, are read in place; anything else is small
// and is read through the library's own variant.
bool VariantFromMessage(sdbus::Message& message, Value* out,
                        std::string* error) {
  std::string kind, contents;
  message.peekType(kind, contents);
  if (contents != "as" && contents != "a{sv}") {
    sdbus::Variant variant;
    message >> variant;
    return FromVariant(variant, out, error);
  }
  message.enterVariant(contents);
  if (contents == "as") {
    Array array;
    message.enterContainer("s");
    std::string text;
    while (message >> text) {
      Value element;
      if (!FromWireString(std::move(text), &element, error)) return false;
      array.push_back(std::move(element));
    }
    message.clearFlags();
    message.exitContainer();
    *out = Value(std::move(array));
  } else {
    Dictionary dictionary;
    if (!DictionaryFromMessage(message, &dictionary, error)) return false;
    *out = Value(std::move(dictionary));
  }
  message.exitVariant();
  return true;
}

bool DictionaryFromMessage(sdbus::Message& message, Dictionary* out,
                           std::string* error) {
  message.enterContainer("{sv}");
  while (message.enterDictEntry("sv")) {
    std::string key;
    message >> key;
    std::string_view key_fault = BusStringFault(key);
    if (!key_fault.empty()) {
      *error = "a key holds " + std::string(key_fault);
      return false;
    }
    Value value;
    if (!VariantFromMessage(message, &value, error)) {
      *error = "“" + key + "”: " + *error;
      return false;
    }
    message.exitDictEntry();
    // A repeated key keeps its first value, as the library's own reading
    // into a map does.
    out->emplace(std::move(key), std::move(value));
  }
  message.clearFlags();
  message.exitContainer();
  return true;
}

}  // namespace

DbusFromDictionaryResult DbusFromDictionary(const Dictionary& dictionary) {
  DbusFromDictionaryResult result;
  result.error = DictionaryBusFault(dictionary);
  if (!result.error.empty()) return result;
  try {
    result.dictionary = ToDbusDictionary(dictionary);
  } catch (const sdbus::Error& e) {
    result.error = e.getMessage();
  }
  return result;
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

DictionaryFromDbusResult DictionaryFromDbusMessage(sdbus::Message& message) {
  DictionaryFromDbusResult result;
  Dictionary out;
  if (DictionaryFromMessage(message, &out, &result.error)) {
    result.dictionary = std::move(out);
  }
  return result;
}

DictionaryFromDbusResult DictionaryFromDbus(const DbusDictionary& dictionary) {
  DictionaryFromDbusResult result;
  Dictionary out;
  if (FromDbusDictionary(dictionary, &out, &result.error)) {
    result.dictionary = std::move(out);
  }
  return result;
}

}  // namespace quillfen
