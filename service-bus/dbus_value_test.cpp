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
  for (auto [key, type] :
       std::map<std::string, std::string>{{"pathArray", "as"},
                                          {"empty", "as"},
                                          {"mixed", "av"},
                                          {"errorDict", "a{sv}"},
                                          {"count", "x"}}) {
    EXPECT_EQ(expected.at(key).peekValueType(), type) << key;
  }
  EXPECT_EQ(*DictionaryFromDbus(expected), reply);

  testing::TestBus bus;
  std::unique_ptr<sdbus::IConnection> connection = bus.Connect();
  std::unique_ptr<sdbus::IProxy> proxy =
      sdbus::createProxy(*connection, "org.quillfen.Unused", "/");
  sdbus::MethodCall message = proxy->createMethodCall("org.quillfen.A", "B");
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

// Every number type is a number, and a list of variants a list.
TEST(DbusValueTest, EveryNumberTypeIsANumber) {
  DbusDictionary wire{{"y", sdbus::Variant(std::uint8_t{200})},
                      {"n", sdbus::Variant(std::int16_t{-3})},
                      {"q", sdbus::Variant(std::uint16_t{65535})},
                      {"i", sdbus::Variant(std::int32_t{-7})},
                      {"u", sdbus::Variant(std::uint32_t{4000000000u})},
                      {"t", sdbus::Variant(std::uint64_t{UINT64_MAX})},
                      {"v", sdbus::Variant(sdbus::Variant(true))},
                      {"l", sdbus::Variant(std::vector<sdbus::Variant>{
                                sdbus::Variant(std::string("a.tmp")),
                                sdbus::Variant(std::string("b"))})}};
  Dictionary d = *DictionaryFromDbus(wire);
  EXPECT_EQ(*d.at("y").AsInteger(), 200);
  EXPECT_EQ(*d.at("n").AsInteger(), -3);
  EXPECT_EQ(*d.at("q").AsInteger(), 65535);
  EXPECT_EQ(*d.at("i").AsInteger(), -7);
  EXPECT_EQ(*d.at("u").AsInteger(), 4000000000);
  EXPECT_GT(*d.at("t").AsReal(), 1.8e19);
  EXPECT_EQ(d.at("v"), Value(true));
  EXPECT_EQ(d.at("l"), Value(Array{Value("a.tmp"), Value("b")}));
}

TEST(DbusValueTest, TypesWithoutAPropertyListFormAreRefusedNotDropped) {
  // A keep list of another type must not vanish: it would read as empty.
  std::vector<std::int32_t> numbers{1, 2};
  std::map<std::int32_t, std::string> int_keys{{1, "a"}};
  for (const sdbus::Variant& odd :
       {sdbus::Variant(sdbus::ObjectPath("/a")), sdbus::Variant(numbers),
        sdbus::Variant(int_keys), sdbus::Variant(sdbus::Struct<int, int>(1, 2)),
        sdbus::Variant(std::vector<sdbus::Variant>{
            sdbus::Variant(sdbus::Signature("s"))})}) {
    Result<Dictionary> result = DictionaryFromDbus({{"fileKeepArray", odd}});
    EXPECT_FALSE(result.ok()) << odd.peekValueType();
    EXPECT_NE(result.error().message.find("fileKeepArray"), std::string::npos);
  }
}

TEST(DbusValueTest, StringsTheBusWouldCutOrRefuseAreRefusedWhole) {
  using namespace std::string_literals;
  // The library would send the first shortened and throw on the others.
  for (const Dictionary& bad : std::vector<Dictionary>{
           {{"volumePath", Value("/home/u/stick\0/elsewhere"s)}},
           {{"errorDict",
             Value(Dictionary{{"/v/._odd\xef\xbf\xbe", Value("gone")}})}},
           {{"pathArray", Value(Array{Value("/v/a"), Value("/v/\xff")})}}}) {
    Result<DbusDictionary> out = DbusFromDictionary(bad);
    EXPECT_FALSE(out.ok());
    EXPECT_NE(out.error().message.find(bad.begin()->first), std::string::npos)
        << out.error().message;
  }
}

}  // namespace
}  // namespace quillfen
