#include "protocol/dbus_value.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace quillfen {
namespace {

sdbus::Variant ToVariant(const Value& value);

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
      return sdbus::Variant(DbusFromDictionary(*value.AsDictionary()));
  }
  return sdbus::Variant();
}

bool FromVariant(const sdbus::Variant& variant, Value* out, std::string* error);

bool FromDbusDictionary(const DbusDictionary& dictionary, Dictionary* out,
                        std::string* error) {
  for (const auto& [key, variant] : dictionary) {
    Value value;
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
    *out = Value(variant.get<std::string>());
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
    for (std::string& s : strings) array.emplace_back(std::move(s));
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

}  // namespace

DbusDictionary DbusFromDictionary(const Dictionary& dictionary) {
  DbusDictionary out;
  for (const auto& [key, value] : dictionary)
    out.emplace(key, ToVariant(value));
  return out;
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
