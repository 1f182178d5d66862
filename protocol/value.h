// The property-list value: the only kind of data that crosses between the
// removal tool, the removal service and Quillfen. A value is a string, a
// boolean, an integer, a real, an array of values or a dictionary from
// strings to values. RemovalRequest and RemovalReply are dictionaries.
//
// Value is a regular value type (copyable, comparable). Like any standard
// container it may be read from several threads at once but must not be
// changed while another thread uses it.
#ifndef QUILLFEN_PROTOCOL_VALUE_H_
#define QUILLFEN_PROTOCOL_VALUE_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillfen {

class Value;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value, std::less<>>;

// The records the service protocol carries, read and written by key.
using RemovalRequest = Dictionary;
using RemovalReply = Dictionary;

class Value {
 public:
  enum class Type { kString, kBoolean, kInteger, kReal, kArray, kDictionary };

  Value() : data_(std::string()) {}
  Value(std::string s) : data_(std::move(s)) {}         // NOLINT: implicit
  Value(std::string_view s) : data_(std::string(s)) {}  // NOLINT
  Value(const char* s) : data_(std::string(s)) {}       // NOLINT
  Value(bool b) : data_(b) {}                           // NOLINT
  Value(int i) : data_(std::int64_t{i}) {}              // NOLINT
  Value(std::int64_t i) : data_(i) {}                   // NOLINT
  Value(double d) : data_(d) {}                         // NOLINT
  Value(Array a) : data_(std::move(a)) {}               // NOLINT
  Value(Dictionary d) : data_(std::move(d)) {}          // NOLINT

  Type type() const { return static_cast<Type>(data_.index()); }

  // Each accessor answers null when the value is of another type.
  const std::string* AsString() const;
  const bool* AsBoolean() const;
  const std::int64_t* AsInteger() const;
  const double* AsReal() const;
  const Array* AsArray() const;
  const Dictionary* AsDictionary() const;
  std::string* AsString();
  Array* AsArray();
  Dictionary* AsDictionary();

  friend bool operator==(const Value& a, const Value& b);

 private:
  // The alternatives' order is Type's order.
  std::variant<std::string, bool, std::int64_t, double, Array, Dictionary>
      data_;
};

// A readable name for a type, for messages: "a string", "a dictionary", ...
std::string_view DescribeType(Value::Type type);

// The dictionary entry for |key|, or null when the key is absent.
const Value* Find(const Dictionary& dictionary, std::string_view key);

}  // namespace quillfen

#endif  // QUILLFEN_PROTOCOL_VALUE_H_
