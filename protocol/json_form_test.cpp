#include "protocol/json_form.h"

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "protocol/removal_keys.h"

namespace quillfen {
namespace {

TEST(JsonFormTest, RequestTextBecomesTypedValues) {
  Result<Value> parsed = ValueFromJsonText(
      R"({"appleDouble":true,"volumePath":"/Volumes/Stick",)"
      R"("fileRemovalArray":[".DS_Store","Thumbs*"],"nested":{"k":[false]},)"
      R"("n":[-9223372036854775808,9223372036854775807,)"
      R"(18446744073709551615,0.25,1e3]})");
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  const Dictionary& d = *parsed->AsDictionary();
  EXPECT_EQ(*Find(d, kAppleDoubleKey), Value(true));
  EXPECT_EQ(*Find(d, kVolumePathKey), Value("/Volumes/Stick"));
  EXPECT_EQ(*Find(d, kFileRemovalArrayKey),
            Value(Array{Value(".DS_Store"), Value("Thumbs*")}));
  EXPECT_EQ(*Find(d, "nested"),
            Value(Dictionary{{"k", Value(Array{Value(false)})}}));
  // Numbers keep their kind and range.
  const Array& n = *Find(d, "n")->AsArray();
  EXPECT_EQ(*n[0].AsInteger(), INT64_MIN);
  EXPECT_EQ(*n[1].AsInteger(), INT64_MAX);
  ASSERT_TRUE(n[2].AsReal());  // Past int64: kept as a real, not wrapped.
  EXPECT_GT(*n[2].AsReal(), 1.8e19);
  EXPECT_EQ(*n[3].AsReal(), 0.25);
  EXPECT_EQ(*n[4].AsReal(), 1000.0);
}

// Text that isn't JSON (invalid UTF-8 in a string included) or holds a
// null anywhere is refused, with a reason.
TEST(JsonFormTest, BadTextAndNullAreRefusedWithAReason) {
  for (const char* text : {"", "{\"a\":1} x", "{\"a\":\"\xff\"}", "null",
                           R"({"fileKeepArray":null})"}) {
    Result<Value> parsed = ValueFromJsonText(text);
    ASSERT_FALSE(parsed.ok()) << text;
    EXPECT_FALSE(parsed.error().message.empty()) << text;
  }
  EXPECT_NE(ValueFromJsonText("[1,null]").error().message.find("null"),
            std::string::npos);
}

TEST(JsonFormTest, ACountedListKeepsItsLengthOnly) {
  const char* text =
      R"({"pathArray":["/v/a","/v/b",["/v/c"]],"volumePath":"/v",)"
      R"("errorDict":{"/v/x":"busy","pathArray":["kept"]}})";
  Result<Value> counted = ValueFromJsonTextCounting(text, kPathArrayKey);
  ASSERT_TRUE(counted) << counted.error().message;
  Value expected = *ValueFromJsonText(text);
  Array& paths = *expected.AsDictionary()->at("pathArray").AsArray();
  paths[0] = Value("");
  paths[1] = Value("");
  EXPECT_EQ(*counted, expected);
  // Only the top level's list is counted, and only in an object.
  EXPECT_EQ(*ValueFromJsonTextCounting(R"([["a"]])", ""),
            *ValueFromJsonText(R"([["a"]])"));
}

TEST(JsonFormTest, NestingHasALimitRatherThanOverflowingTheStack) {
  auto nested = [](int depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  const std::string deepest = nested(kMaxJsonNesting);
  Result<Value> parsed = ValueFromJsonText(deepest);
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  EXPECT_EQ(JsonTextFromValue(*parsed), deepest);
  for (const std::string& text :
       {nested(kMaxJsonNesting + 1), "{\"k\":" + nested(1000000) + "}"}) {
    Result<Value> deeper = ValueFromJsonText(text);
    EXPECT_FALSE(deeper.ok());
    EXPECT_NE(deeper.error().message.find("nested"), std::string::npos)
        << deeper.error().message;
  }
}

TEST(JsonFormTest, ExactTextRefusesWhatItCannotWriteFaithfully) {
  Dictionary good{{"pathArray", Value(Array{Value("/v/é")})}};
  EXPECT_EQ(*ExactJsonTextFromValue(Value(good)),
            JsonTextFromValue(Value(good)));
  Dictionary bad_text{{"pathArray", Value(Array{Value("/v/\xff")})}};
  Result<std::string> refused = ExactJsonTextFromValue(Value(bad_text));
  EXPECT_FALSE(refused.ok());
  EXPECT_FALSE(refused.error().message.empty());
  Dictionary bad_number{{"n", Value(Array{Value(std::nan(""))})}};
  EXPECT_FALSE(ExactJsonTextFromValue(Value(bad_number)).ok());
  // The lenient form still writes something readable.
  EXPECT_TRUE(ValueFromJsonText(JsonTextFromValue(Value(bad_text))).ok());
}

// The JSON library's own document of |value|. The text is written as the
// value is walked, without a document; it must be the very text the
// document would give: replies are compared byte for byte by whoever reads
// them.
nlohmann::json DocumentOf(const Value& value) {
  if (const Array* array = value.AsArray()) {
    nlohmann::json document = nlohmann::json::array();
    for (const Value& element : *array) document.push_back(DocumentOf(element));
    return document;
  }
  if (const Dictionary* dictionary = value.AsDictionary()) {
    nlohmann::json document = nlohmann::json::object();
    for (const auto& [key, element] : *dictionary) {
      document[key] = DocumentOf(element);
    }
    return document;
  }
  if (const std::string* text = value.AsString()) return *text;
  if (const bool* boolean = value.AsBoolean()) return *boolean;
  if (const std::int64_t* integer = value.AsInteger()) return *integer;
  return *value.AsReal();
}

TEST(JsonFormTest, WrittenTextIsTheDocumentsText) {
  Dictionary reply{
      {"errorDict",
       Value(Dictionary{{"/v/\"a\"\t\x01\x7f", Value("“x” couldn’t…\n")}})},
      {"fileRemovalArray", Value(Array{Value("/v/._é"), Value("/v/a b")})},
      {"empty", Value(Array{})},
      {"none", Value(Dictionary{})},
      {"mixed", Value(Array{Value(true), Value(-7), Value(0.1), Value(1e300),
                            Value(3.0), Value(Array{Value(Array{})})})},
      {"count", Value(INT64_MIN)}};
  const std::string document = DocumentOf(Value(reply)).dump();
  Result<std::string> exact = ExactJsonTextFromDictionary(reply);
  ASSERT_TRUE(exact) << exact.error().message;
  EXPECT_EQ(*exact, document);
  EXPECT_EQ(JsonTextFromValue(Value(reply)), document);
  EXPECT_EQ(*ValueFromJsonText(document), Value(reply));
  std::ostringstream streamed;
  WriteJsonText(Value(reply), streamed);
  EXPECT_EQ(streamed.str(), document);
  reply.emplace("bad", Value("\xc3("));
  EXPECT_EQ(
      JsonTextFromValue(Value(reply)),
      DocumentOf(Value(reply))
          .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace
}  // namespace quillfen
