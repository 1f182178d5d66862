#include "protocol/json_form.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace quillfen {
namespace {

using Json = nlohmann::json;

std::string NestingTooDeep() {
  return "arrays and objects are nested more than " +
         std::to_string(kMaxJsonNesting) + " deep";
}

// Whole numbers beyond the integer range become reals.
Value FromUnsigned(std::uint64_t u) {
  if (u <=
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return Value(static_cast<std::int64_t>(u));
  }
  return Value(static_cast<double>(u));
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

// Builds a value straight from the parser's events: a reply of many
// thousand paths is read without a whole document in between.
class ValueBuilder : public nlohmann::json_sax<Json> {
 public:
  bool null() override {
    error_ = "null is not a property-list value";
    return false;
  }
  bool boolean(bool b) override { return Add(Value(b)); }
  bool number_integer(std::int64_t i) override { return Add(Value(i)); }
  bool number_unsigned(std::uint64_t u) override {
    return Add(FromUnsigned(u));
  }
  bool number_float(double d, const std::string&) override {
    return Add(Value(d));
  }
  bool string(std::string& s) override { return Add(Value(std::move(s))); }
  bool binary(Json::binary_t&) override {
    error_ = "binary data is not a property-list value";
    return false;
  }
  bool start_object(std::size_t) override { return Push(Value(Dictionary())); }
  bool key(std::string& k) override {
    key_ = std::move(k);
    return true;
  }
  bool end_object() override { return Close(); }
  bool start_array(std::size_t) override { return Push(Value(Array())); }
  bool end_array() override { return Close(); }
  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& e) override {
    error_ = e.what();
    return false;
  }

  std::optional<Value>& result() { return result_; }
  const std::string& error() const { return error_; }

 private:
  struct Container {
    Value value;
    std::string key;  // The key it goes under in its parent, if any.
  };

  bool Push(Value container) {
    if (open_.size() >= static_cast<std::size_t>(kMaxJsonNesting)) {
      error_ = NestingTooDeep();
      return false;
    }
    open_.push_back({std::move(container), std::move(key_)});
    return true;
  }
  bool Close() {
    Container done = std::move(open_.back());
    open_.pop_back();
    key_ = std::move(done.key);
    return Add(std::move(done.value));
  }
  bool Add(Value value) {
    if (open_.empty()) {
      result_ = std::move(value);
    } else if (Array* array = open_.back().value.AsArray()) {
      array->push_back(std::move(value));
    } else {
      // A repeated key keeps its last value, as a parsed document does.
      open_.back().value.AsDictionary()->insert_or_assign(key_,
                                                          std::move(value));
    }
    return true;
  }

  std::vector<Container> open_;
  std::string key_;
  std::optional<Value> result_;
  std::string error_;
};

bool AllRealsFinite(const Value& value) {
  if (const double* real = value.AsReal()) return std::isfinite(*real);
  if (const Array* array = value.AsArray()) {
    for (const Value& element : *array) {
      if (!AllRealsFinite(element)) return false;
    }
  }
  if (const Dictionary* dictionary = value.AsDictionary()) {
    for (const auto& [key, element] : *dictionary) {
      if (!AllRealsFinite(element)) return false;
    }
  }
  return true;
}

// Feeds a parsed document to |builder| event by event, as the parser would
// have, so that the mapping to values (and what it refuses) lives in the
// builder alone. Stops at the builder's first refusal, the nesting limit
// included, so the recursion is bounded by it.
bool Replay(const Json& json, ValueBuilder& builder) {
  switch (json.type()) {
    case Json::value_t::string: {
      std::string s = json.get_ref<const std::string&>();
      return builder.string(s);
    }
    case Json::value_t::boolean:
      return builder.boolean(json.get<bool>());
    case Json::value_t::number_integer:
      return builder.number_integer(json.get<std::int64_t>());
    case Json::value_t::number_unsigned:
      return builder.number_unsigned(json.get<std::uint64_t>());
    case Json::value_t::number_float:
      return builder.number_float(json.get<double>(), {});
    case Json::value_t::array:
      if (!builder.start_array(json.size())) return false;
      for (const Json& element : json) {
        if (!Replay(element, builder)) return false;
      }
      return builder.end_array();
    case Json::value_t::object:
      if (!builder.start_object(json.size())) return false;
      for (const auto& [key, element] : json.items()) {
        std::string k = key;
        if (!builder.key(k) || !Replay(element, builder)) return false;
      }
      return builder.end_object();
    case Json::value_t::binary: {
      Json::binary_t binary = json.get_binary();
      return builder.binary(binary);
    }
    case Json::value_t::null:
    case Json::value_t::discarded:
      break;
  }
  return builder.null();
}

}  // namespace

Result<Value> ValueFromJsonText(std::string_view text) {
  ValueBuilder builder;
  try {
    if (Json::sax_parse(text, &builder)) return std::move(*builder.result());
  } catch (const Json::exception& e) {
    return ErrorMessage(e.what());
  }
  return ErrorMessage(builder.error());
}

Result<std::string> ExactJsonTextFromValue(const Value& value) {
  if (!AllRealsFinite(value)) return ErrorMessage("a number is not finite");
  try {
    // The strict writer refuses text that is not valid UTF-8, keys too.
    return ToJson(value).dump();
  } catch (const Json::exception& e) {
    return ErrorMessage(e.what());
  }
}

nlohmann::json JsonFromValue(const Value& value) { return ToJson(value); }

Result<Value> ValueFromJson(const nlohmann::json& json) {
  ValueBuilder builder;
  if (Replay(json, builder)) return std::move(*builder.result());
  return ErrorMessage(builder.error());
}
void WriteJsonText(const Value& value, std::ostream& out) {
  nlohmann::detail::serializer<Json> serializer(
      nlohmann::detail::output_adapter<char>(out), ' ',
      Json::error_handler_t::replace);
  serializer.dump(ToJson(value), /*pretty_print=*/false, /*ensure_ascii=*/false,
                  /*indent_step=*/0);
}

std::string JsonTextFromValue(const Value& value) {
  return ToJson(value).dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace quillfen
