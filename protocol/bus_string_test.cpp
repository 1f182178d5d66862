#include "protocol/bus_string.h"

#include <gtest/gtest.h>
#include <sdbus-c++/Error.h>
#include <sdbus-c++/Types.h>

#include <cstdint>
#include <string>

namespace quillfen {
namespace {

// Whether the bus library carries |text| whole: it keeps a string only up
// to its first NUL, and throws on the rest of what it refuses.
bool LibraryCarries(const std::string& text) {
  if (text.find('\0') != std::string::npos) return false;
  try {
    sdbus::Variant probe(text);
    return probe.get<std::string>() == text;
  } catch (const sdbus::Error&) {
    return false;
  }
}

std::string Utf8(std::uint32_t c) {
  std::string s;
  AppendUtf8Character(c, &s);
  return s;
}

TEST(BusStringTest, TheRuleIsTheBusLibrarysOwn) {
  // Every character of the first plane, surrogates' bytes included, and
  // the last characters of every other plane, alone and inside text.
  auto agree = [](const std::string& text) {
    for (const std::string& s : {text, "long ascii prefix " + text + "!"}) {
      EXPECT_EQ(IsBusString(s), LibraryCarries(s))
          << ::testing::PrintToString(s);
    }
  };
  for (std::uint32_t c = 0; c < 0x10000; ++c) agree(Utf8(c));
  for (std::uint32_t plane = 1; plane <= 0x10; ++plane) {
    for (std::uint32_t low : {0x0000u, 0x1234u, 0xFFFDu, 0xFFFEu, 0xFFFFu}) {
      agree(Utf8((plane << 16) | low));
    }
  }
  for (const char* bytes :
       {"\xff", "\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xf4\x90\x80\x80",
        "\xf8\x88\x80\x80\x80", "\xc3\xa9\xa9", "\xed\xa0\x80\xed\xb0\x80"}) {
    agree(bytes);
  }
}

TEST(BusStringTest, FaultsAreNamedAndMessagesMadeSafe) {
  using namespace std::string_literals;
  EXPECT_EQ(BusStringFault("/home/u/stick\0/elsewhere"s), "a NUL character");
  EXPECT_EQ(BusStringFault("._odd\xef\xbf\xbe"), "a Unicode noncharacter");
  EXPECT_EQ(BusStringFault("bad\xff"), "text that isn’t valid UTF-8");
  // Line terminators are ordinary characters on the bus.
  EXPECT_EQ(BusStringFault("/v/a\nb\r\xe2\x80\xa8"), "");

  EXPECT_EQ(BusSafeText("inner\xff\xfe.txt"), "inner\uFFFD\uFFFD.txt");
  EXPECT_EQ(BusSafeText("a\0b\xef\xbf\xbf"s), "a\uFFFDb\uFFFD");

  // Found wherever it sits: in a list's element, in a key.
  Dictionary request{
      {"volumePath", Value("/v\n")},
      {"fileRemovalArray", Value(Array{Value(".DS_Store"), Value("*\0x"s)})}};
  EXPECT_EQ(DictionaryBusFault(request),
            "“fileRemovalArray” holds a NUL character");
  EXPECT_NE(DictionaryBusFault({{"x\xef\xbf\xbe", Value(true)}}), "");
}

}  // namespace
}  // namespace quillfen
