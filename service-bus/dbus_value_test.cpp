#include "service-bus/dbus_value.h"

#include <gtest/gtest.h>

#include "testing/test_bus.h"

namespace quillfen {
namespace {

// The service writes its reply into the message, and the tool reads it
// from there, without variants: both keep the form variants give.
TEST(DbusValueTest, VariantsAndMessagesCarryTheSameForm) {
  Dictionary reply{
      {"pathArray", Value(Array{Value("/m/._a"), Value("/m/é")})},
      {"errorDict", Value(Dictionary{{"/m/x", Value("“x” couldn’t…")}})},
      {"mixed", Value(Array{Value(1), Value("a"), Value(Array{})})},
      {"count", Value(std::int64_t{-5})},
      {"ratio", Value(0.5)},
      {"showReadMe", Value(true)},
      {"empty", Value(Array{})},
      {"none", Value(Dictionary{})}};
  DbusDictionary expected = *DbusFromDictionary(reply);
  EXPECT_EQ(expected.at("empty").peekValueType(), "as");
  EXPECT_EQ(expected.at("mixed").peekValueType(), "av");
  EXPECT_EQ(expected.at("errorDict").peekValueType(), "a{sv}");
  EXPECT_EQ(*DictionaryFromDbus(expected), reply);

  testing::TestBus bus;
  std::unique_ptr<sdbus::IConnection> connection = bus.Connect();
  sdbus::MethodCall message =
      sdbus::createProxy(*connection, "org.quillfen.Unused", "/")
          ->createMethodCall("org.quillfen.A", "B");
  AppendDbusDictionary(reply, message);
  message.seal();
  message.rewind(true);
  DbusDictionary wire;
  message >> wire;
  ASSERT_EQ(wire.size(), expected.size());
  for (const auto& [key, variant] : expected) {
    EXPECT_EQ(wire.at(key).peekValueType(), variant.peekValueType()) << key;
  }
  message.rewind(true);
  Result<Dictionary> back = DictionaryFromDbusMessage(message);
  ASSERT_TRUE(back) << back.error().message;
  EXPECT_EQ(*back, reply);
}

// Every number type is a number, an array of any element type a list and
// any string-keyed dictionary a dictionary, as a dynamic language sends
// them; a type without a property-list form is refused, not dropped: a
// keep list that vanished would read as empty.
TEST(DbusValueTest, NumbersAndArraysOfAnyTypeAreReadAndOtherTypesRefused) {
  using Strings = std::vector<std::string>;
  DbusDictionary wire{
      {"y", sdbus::Variant(std::uint8_t{200})},
      {"t", sdbus::Variant(std::uint64_t{UINT64_MAX})},
      {"v", sdbus::Variant(sdbus::Variant(true))},
      {"av", sdbus::Variant(std::vector<sdbus::Variant>{
                 sdbus::Variant(std::string("a.tmp"))})},
      {"ai", sdbus::Variant(std::vector<std::int32_t>{1, -2})},
      {"ay", sdbus::Variant(std::vector<std::uint8_t>{'a', 0})},
      {"aas", sdbus::Variant(std::vector<Strings>{{"x"}, {}})},
      {"aa{sv}", sdbus::Variant(std::vector<DbusDictionary>{
                     {{"k", sdbus::Variant(std::int16_t{-3})}}})},
      {"a{ss}",
       sdbus::Variant(std::map<std::string, std::string>{{"/m/x", "gone"}})}};
  Result<Dictionary> read = DictionaryFromDbus(wire);
  ASSERT_TRUE(read) << read.error().message;
  const Dictionary& d = *read;
  EXPECT_EQ(*d.at("y").AsInteger(), 200);
  EXPECT_GT(*d.at("t").AsReal(), 1.8e19);
  EXPECT_EQ(d.at("v"), Value(true));
  EXPECT_EQ(d.at("av"), Value(Array{Value("a.tmp")}));
  EXPECT_EQ(d.at("ai"), Value(Array{Value(1), Value(-2)}));
  EXPECT_EQ(d.at("ay"), Value(Array{Value(97), Value(0)}));
  EXPECT_EQ(d.at("aas"),
            Value(Array{Value(Array{Value("x")}), Value(Array{})}));
  EXPECT_EQ(d.at("aa{sv}"), Value(Array{Value(Dictionary{{"k", Value(-3)}})}));
  EXPECT_EQ(d.at("a{ss}"), Value(Dictionary{{"/m/x", Value("gone")}}));

  for (const sdbus::Variant& odd :
       {sdbus::Variant(sdbus::ObjectPath("/a")),
        sdbus::Variant(
            std::vector<sdbus::Variant>{sdbus::Variant(sdbus::Signature("s"))}),
        sdbus::Variant(std::map<std::int32_t, std::string>{{1, "a.tmp"}})}) {
    Result<Dictionary> result = DictionaryFromDbus({{"fileKeepArray", odd}});
    ASSERT_FALSE(result.ok()) << odd.peekValueType();
    EXPECT_NE(result.error().message.find("fileKeepArray"), std::string::npos)
        << result.error().message;
  }
}

TEST(DbusValueTest, StringsTheBusWouldCutOrRefuseAreRefusedWhole) {
  using namespace std::string_literals;
  // The library would send the first shortened and throw on the other.
  for (const Dictionary& bad : std::vector<Dictionary>{
           {{"volumePath", Value("/home/u/stick\0/elsewhere"s)}},
           {{"errorDict",
             Value(Dictionary{{"/v/._odd\xef\xbf\xbe", Value("gone")}})}}}) {
    Result<DbusDictionary> out = DbusFromDictionary(bad);
    EXPECT_FALSE(out.ok());
    EXPECT_NE(out.error().message.find(bad.begin()->first), std::string::npos)
        << out.error().message;
  }
}

}  // namespace
}  // namespace quillfen
