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
  explicit ValueBuilder(std::string_view counted_key = {})
      : counted_key_(counted_key) {}

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
  bool string(std::string& s) override {
    if (InCountedArray()) return Add(Value());
    return Add(Value(std::move(s)));
  }
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

  bool InCountedArray() const {
    return !counted_key_.empty() && open_.size() == 2 &&
           open_[0].value.AsDictionary() != nullptr &&
           open_[1].value.AsArray() != nullptr && open_[1].key == counted_key_;
  }

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

  const std::string_view counted_key_;
  std::vector<Container> open_;
  std::string key_;
  std::optional<Value> result_;
  std::string error_;
};

bool AllRealsFinite(const Value& value);

bool AllRealsFinite(const Dictionary& dictionary) {
  for (const auto& [key, element] : dictionary) {
    if (!AllRealsFinite(element)) return false;
  }
  return true;
}

bool AllRealsFinite(const Value& value) {
  if (const double* real = value.AsReal()) return std::isfinite(*real);
  if (const Array* array = value.AsArray()) {
    for (const Value& element : *array) {
      if (!AllRealsFinite(element)) return false;
    }
  }
  if (const Dictionary* dictionary = value.AsDictionary()) {
    return AllRealsFinite(*dictionary);
  }
  return true;
}

// Writes the very text a document made by ToJson would dump to, as it
// goes: a reply of many thousand paths is never held as a document. The
// brackets, commas and colons are written here; every string and number
// goes through the library's own serializer, which escapes and formats it.
class TextWriter {
 public:
  TextWriter(nlohmann::detail::output_adapter_t<char> out,
             Json::error_handler_t handler)
      : out_(out), serializer_(out, ' ', handler) {}

  void Write(const Value& value) {
    if (const Array* array = value.AsArray()) {
      out_->write_character('[');
      for (std::size_t i = 0; i < array->size(); ++i) {
        if (i > 0) out_->write_character(',');
        Write((*array)[i]);
      }
      out_->write_character(']');
    } else if (const Dictionary* dictionary = value.AsDictionary()) {
      Write(*dictionary);
    } else {
      Leaf(ToJson(value));
    }
  }

  void Write(const Dictionary& dictionary) {
    out_->write_character('{');
    bool first = true;
    for (const auto& [key, element] : dictionary) {
      if (!first) out_->write_character(',');
      first = false;
      Leaf(Json(key));
      out_->write_character(':');
      Write(element);
    }
    out_->write_character('}');
  }

 private:
  void Leaf(const Json& leaf) {
    serializer_.dump(leaf, /*pretty_print=*/false, /*ensure_ascii=*/false,
                     /*indent_step=*/0);
  }

  nlohmann::detail::output_adapter_t<char> out_;
  nlohmann::detail::serializer<Json> serializer_;
};

std::size_t TextSizeHint(const Value& value);

std::size_t TextSizeHint(const Dictionary& dictionary) {
  std::size_t size = 2;
  for (const auto& [key, element] : dictionary) {
    size += key.size() + 4 + TextSizeHint(element);
  }
  return size;
}

// About the length of |value|'s text, a little over when strings need
// escapes: a reply's text is megabytes long, and a buffer that grows by
// doubling would hold up to twice that, and three times while it moves.
std::size_t TextSizeHint(const Value& value) {
  if (const std::string* text = value.AsString()) {
    return text->size() + text->size() / 16 + 2;
  }
  if (const Array* array = value.AsArray()) {
    std::size_t size = 2;
    for (const Value& element : *array) size += TextSizeHint(element) + 1;
    return size;
  }
  if (const Dictionary* dictionary = value.AsDictionary()) {
    return TextSizeHint(*dictionary);
  }
  return 24;
}

// The exact text of |value| (a Value or a Dictionary), or why not.
template <typename T>
Result<std::string> ExactText(const T& value) {
  if (!AllRealsFinite(value)) return ErrorMessage("a number is not finite");
  std::string text;
  text.reserve(TextSizeHint(value));
  try {
    // The strict writer refuses text that is not valid UTF-8, keys too.
    TextWriter(nlohmann::detail::output_adapter<char>(text),
               Json::error_handler_t::strict)
        .Write(value);
  } catch (const Json::exception& e) {
    return ErrorMessage(e.what());
  }
  return text;
}

}  // namespace

Result<Value> ValueFromJsonText(std::string_view text) {
  return ValueFromJsonTextCounting(text, {});
}

Result<Value> ValueFromJsonTextCounting(std::string_view text,
                                        std::string_view counted_key) {
  ValueBuilder builder(counted_key);
  try {
    if (Json::sax_parse(text, &builder)) return std::move(*builder.result());
  } catch (const Json::exception& e) {
    return ErrorMessage(e.what());
  }
  return ErrorMessage(builder.error());
}

Result<std::string> ExactJsonTextFromValue(const Value& value) {
  return ExactText(value);
}

Result<std::string> ExactJsonTextFromDictionary(const Dictionary& dictionary) {
  return ExactText(dictionary);
}

void WriteJsonText(const Value& value, std::ostream& out) {
  TextWriter(nlohmann::detail::output_adapter<char>(out),
             Json::error_handler_t::replace)
      .Write(value);
}

std::string JsonTextFromValue(const Value& value) {
  std::string text;
  text.reserve(TextSizeHint(value));
  TextWriter(nlohmann::detail::output_adapter<char>(text),
             Json::error_handler_t::replace)
      .Write(value);
  return text;
}

}  // namespace quillfen
