#include "platform/json_object_text.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace quillfen {
namespace {

std::optional<JsonObjectText> Parse(const std::string& text) {
  Result<JsonObjectText> object = JsonObjectText::Parse(text);
  if (!object) return std::nullopt;
  return std::move(*object);
}

// The text |object| writes out.
std::string TextOf(const JsonObjectText& object) {
  std::string text;
  for (std::string_view piece : object.Pieces()) text += piece;
  return text;
}

TEST(JsonObjectTextTest, TakesExactlyTheTextsOfTheGrammar) {
  const std::vector<std::string> valid = {
      " \t\r\n{ } \n",
      "\xEF\xBB\xBF{}",
      R"({"n":[0,-0,1e400,-1E-400,0.5e+2,123456789012345678901234567890]})",
      R"({"s":"\"\\\/\b\f\n\r\t\u00e9\uD83D\uDE00\ud800"})",
      "{\"s\":\"\xC2\x80\xE0\xA0\x80\xED\x9F\xBF\xF4\x8F\xBF\xBF\"}",
      R"({"a":[[],{},[{}],{"b":[true,false,null]}],"a":1})",
      "{\"deep\":" + std::string(100000, '[') + std::string(100000, ']') + "}"};
  for (const std::string& text : valid) {
    EXPECT_TRUE(Parse(text)) << text.substr(0, 80);
  }
  // Overlong, an encoded surrogate, past U+10FFFF, cut short.
  for (const std::string& text : std::vector<std::string>{
           "", "[]", "{", "{\"a\":[1,]}", "{\"a\":1}{}",
           std::string("{\"a\":1}\0", 8), "{\"n\":01}", "{\"t\":tru}",
           "{'a':1}", "{\"s\":\"\t\"}", "{\"s\":\"\\u12G4\"}",
           "{\"s\":\"\xC0\x80\"}", "{\"s\":\"\xED\xA0\x80\"}",
           "{\"s\":\"\xF4\x90\x80\x80\"}", "{\"s\":\"\xE2\x82\"}",
           "{\"a\":" + std::string(100000, '[') + "}"}) {
    EXPECT_FALSE(Parse(text)) << text.substr(0, 80);
  }
}

TEST(JsonObjectTextTest, KeepsWhatItDoesNotChangeAndChangesEveryMemberOfAKey) {
  std::optional<JsonObjectText> object = Parse(
      " {\"k\" : 1e400 , \"m\\u0065\":\"a\", \"x\": [1, 2], \"me\":{\"b\":2}}");
  ASSERT_TRUE(object);
  EXPECT_EQ(object->Find("me"), R"({"b":2})");  // The last one counts.
  EXPECT_EQ(object->Find("k"), "1e400");
  EXPECT_FALSE(object->Find("m\\u0065"));
  object->Set("me", "\"new\"");
  object->Set("added", "true");
  EXPECT_EQ(TextOf(*object),
            R"({"k":1e400,"me":"new","x":[1, 2],"added":true})");
  object->Erase("me");
  object->Erase("x");
  EXPECT_EQ(TextOf(*object), R"({"k":1e400,"added":true})");

  EXPECT_EQ(JsonObjectText::DecodeString(R"("a\u00e9\uD83D\uDE00\n\/")"),
            "a\xC3\xA9\xF0\x9F\x98\x80\n/");
  EXPECT_FALSE(JsonObjectText::DecodeString(R"("\ud800")"));
  EXPECT_FALSE(JsonObjectText::DecodeString(R"("\ude00\ud83d")"));
}

}  // namespace
}  // namespace quillfen
