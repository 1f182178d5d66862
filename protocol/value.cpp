#include "protocol/value.h"

namespace quillfen {

const std::string* Value::AsString() const {
  return std::get_if<std::string>(&data_);
}
const bool* Value::AsBoolean() const { return std::get_if<bool>(&data_); }
const std::int64_t* Value::AsInteger() const {
  return std::get_if<std::int64_t>(&data_);
}
const double* Value::AsReal() const { return std::get_if<double>(&data_); }
const Array* Value::AsArray() const { return std::get_if<Array>(&data_); }
const Dictionary* Value::AsDictionary() const {
  return std::get_if<Dictionary>(&data_);
}
std::string* Value::AsString() { return std::get_if<std::string>(&data_); }
Array* Value::AsArray() { return std::get_if<Array>(&data_); }
Dictionary* Value::AsDictionary() { return std::get_if<Dictionary>(&data_); }

bool operator==(const Value& a, const Value& b) { return a.data_ == b.data_; }

std::string_view DescribeType(Value::Type type) {
  switch (type) {
    case Value::Type::kString:
      return "a string";
    case Value::Type::kBoolean:
      return "a boolean";
    case Value::Type::kInteger:
      return "an integer";
    case Value::Type::kReal:
      return "a real number";
    case Value::Type::kArray:
      return "a list";
    case Value::Type::kDictionary:
      return "a dictionary";
  }
  return "a value";
}

const Value* Find(const Dictionary& dictionary, std::string_view key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() ? nullptr : &it->second;
}

}  // namespace quillfen
