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
  // Numbers keep their kind and range; past int64 a number is kept as a
  // real, not wrapped.
  EXPECT_EQ(
      *parsed,
      Value(Dictionary{
          {"appleDouble", Value(true)},
          {"volumePath", Value("/Volumes/Stick")},
          {"fileRemovalArray",
           Value(Array{Value(".DS_Store"), Value("Thumbs*")})},
          {"nested", Value(Dictionary{{"k", Value(Array{Value(false)})}})},
          {"n", Value(Array{Value(INT64_MIN), Value(INT64_MAX),
                            Value(18446744073709551615.0), Value(0.25),
                            Value(1000.0)})}}));
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
  Dictionary bad_text{{"pathArray", Value(Array{Value("/v/\xff")})}};
  EXPECT_FALSE(ExactJsonTextFromValue(Value(bad_text)).ok());
  Dictionary bad_number{{"n", Value(Array{Value(std::nan(""))})}};
  EXPECT_FALSE(ExactJsonTextFromValue(Value(bad_number)).ok());
  // The lenient form still writes something readable.
  EXPECT_TRUE(ValueFromJsonText(JsonTextFromValue(Value(bad_text))).ok());
}

// The text is written as the value is walked, without a document; it must
// be the very text the JSON library's document would give: replies are
// compared byte for byte by whoever reads them. The library's own reading
// of the text, written out again, is that document.
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
  const std::string document = JsonTextFromValue(Value(reply));
  EXPECT_EQ(nlohmann::json::parse(document).dump(), document);
  EXPECT_EQ(*ValueFromJsonText(document), Value(reply));
  EXPECT_EQ(*ExactJsonTextFromDictionary(reply), document);
  std::ostringstream streamed;
  WriteJsonText(Value(reply), streamed);
  EXPECT_EQ(streamed.str(), document);
  // What isn't UTF-8 is replaced as the library replaces it.
  const nlohmann::json bad = {{"bad", "\xc3("}};
  EXPECT_EQ(JsonTextFromValue(Value(Dictionary{{"bad", Value("\xc3(")}})),
            bad.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace
}  // namespace quillfen
