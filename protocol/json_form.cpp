#include "protocol/json_form.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

namespace quillfen {
namespace {

using Json = nlohmann::json;

// Converts a parsed document; answers false (with |error| set) on a JSON
// null, the one JSON value without a property-list form, and on nesting
// too deep. |enclosing| counts the arrays and objects around |json|.
bool ToValue(const Json& json, Value* out, std::string* error,
             int enclosing = 0) {
  if (json.is_structured() && enclosing >= kMaxJsonNesting) {
    *error = "arrays and objects are nested more than " +
             std::to_string(kMaxJsonNesting) + " deep";
    return false;
  }
  switch (json.type()) {
    case Json::value_t::string:
      *out = Value(json.get_ref<const std::string&>());
      return true;
    case Json::value_t::boolean:
      *out = Value(json.get<bool>());
      return true;
    case Json::value_t::number_integer:
      *out = Value(json.get<std::int64_t>());
      return true;
    case Json::value_t::number_unsigned: {
      auto u = json.get<std::uint64_t>();
      if (u <= static_cast<std::uint64_t>(
                   std::numeric_limits<std::int64_t>::max())) {
        *out = Value(static_cast<std::int64_t>(u));
      } else {
        *out = Value(static_cast<double>(u));
      }
      return true;
    }
    case Json::value_t::number_float:
      *out = Value(json.get<double>());
      return true;
    case Json::value_t::array: {
      Array array;
      array.reserve(json.size());
      for (const Json& element : json) {
        Value v;
        if (!ToValue(element, &v, error, enclosing + 1)) return false;
        array.push_back(std::move(v));
      }
      *out = Value(std::move(array));
      return true;
    }
    case Json::value_t::object: {
      Dictionary dictionary;
      for (const auto& [key, element] : json.items()) {
        Value v;
        if (!ToValue(element, &v, error, enclosing + 1)) return false;
        dictionary.insert_or_assign(key, std::move(v));
      }
      *out = Value(std::move(dictionary));
      return true;
    }
    case Json::value_t::null:
    case Json::value_t::discarded:
    case Json::value_t::binary:
      break;
  }
  *error = "null is not a property-list value";
  return false;
}

Json ToJson(const Value& value) {
  switch (value.type()) {
    case Value::Type::kString:
      return *value.AsString();
    case Value::Type::kBoolean:
      return *value.AsBoolean();
    case Value::Type::kInteger:
      return *value.AsInteger();
    case Value::Type::kReal:
      return *value.AsReal();
    case Value::Type::kArray: {
      Json array = Json::array();
      for (const Value& element : *value.AsArray()) {
        array.push_back(ToJson(element));
      }
      return array;
    }
    case Value::Type::kDictionary: {
      Json object = Json::object();
      for (const auto& [key, element] : *value.AsDictionary()) {
        object[key] = ToJson(element);
      }
      return object;
    }
  }
  return nullptr;
}

}  // namespace

JsonParseResult ValueFromJsonText(std::string_view text) {
  JsonParseResult result;
  Json json;
  try {
    json = Json::parse(text);
  } catch (const Json::exception& e) {
    result.error = e.what();
    return result;
  }
  Value value;
  if (ToValue(json, &value, &result.error)) result.value = std::move(value);
  return result;
}

std::optional<std::string> ExactJsonTextFromValue(const Value& value,
                                                  std::string* error) {
  if (value.type() == Value::Type::kReal && !std::isfinite(*value.AsReal())) {
    *error = "a number is not finite";
    return std::nullopt;
  }
  if (const Array* array = value.AsArray()) {
    for (const Value& element : *array) {
      if (!ExactJsonTextFromValue(element, error)) return std::nullopt;
    }
  }
  if (const Dictionary* dictionary = value.AsDictionary()) {
    for (const auto& [key, element] : *dictionary) {
      if (!ExactJsonTextFromValue(Value(key), error) ||
          !ExactJsonTextFromValue(element, error)) {
        return std::nullopt;
      }
    }
  }
  try {
    return ToJson(value).dump();
  } catch (const Json::exception& e) {
    // Text that is not valid UTF-8.
    *error = e.what();
    return std::nullopt;
  }
}

std::string JsonTextFromValue(const Value& value) {
  return ToJson(value).dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace quillfen
