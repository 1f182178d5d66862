// The service's side of the bus: requests arrive as a{sv} dictionaries
// whose values may be any D-Bus type. The input is a small program that
// builds such a dictionary (bounded in depth and size) together with the
// property-list dictionary it must read as, or nothing when some value
// has no property-list form. Reading must agree with that model, and
// what was read must go out and come back unchanged. One input in four
// goes the other way: a dictionary of raw strings must be carried whole or
// refused whole.
#include <sdbus-c++/Error.h>
#include <sdbus-c++/Message.h>
#include <sdbus-c++/TypeTraits.h>
#include <sdbus-c++/Types.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "protocol/bus_string.h"
#include "protocol/value.h"
#include "service-bus/dbus_value.h"

namespace fuzz {

// A variant that holds a variant ("v" in "v"). sdbus::Variant's own
// constructors take a Variant as a copy, so the nesting needs its own
// type.
struct NestedVariant {
  sdbus::Variant inner;
};

}  // namespace fuzz

namespace sdbus {
template <>
struct signature_of<fuzz::NestedVariant> {
  static constexpr bool is_valid = true;
  static const std::string str() { return "v"; }
};
}  // namespace sdbus

namespace fuzz {

sdbus::Message& operator<<(sdbus::Message& message,
                           const NestedVariant& nested) {
  return message << nested.inner;
}

namespace {

using quillfen::Array;
using quillfen::DbusDictionary;
using quillfen::Dictionary;
using quillfen::Value;

constexpr int kMaxDepth = 6;
constexpr int kMaxNodes = 96;
constexpr std::size_t kMaxCount = 5;

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size)
      : data_(data), size_(size) {}

  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

  template <typename T>
  T Number() {
    unsigned char bytes[sizeof(T)] = {};
    for (unsigned char& b : bytes) b = Byte();
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }

  std::string Bytes(std::size_t limit) {
    std::size_t length = Byte() % (limit + 1);
    length = std::min(length, Left());
    std::string text(reinterpret_cast<const char*>(data_ + at_), length);
    at_ += length;
    return text;
  }

  std::size_t Left() const { return size_ - at_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// A value built for the wire and what it must read as.
struct Built {
  sdbus::Variant variant;
  std::optional<Value> expected;  // Nothing: no property-list form.
};

// D-Bus strings stop at a NUL and must be valid UTF-8 (by the bus
// library's rules, which also refuse noncharacters); a string the library
// would refuse keeps only its ASCII.
std::string WireString(std::string text) {
  text.resize(std::strlen(text.c_str()));
  try {
    sdbus::Variant probe(text);
  } catch (const sdbus::Error&) {
    std::string ascii;
    for (char c : text) {
      if (static_cast<unsigned char>(c) < 0x80) ascii += c;
    }
    return ascii;
  }
  return text;
}

class Builder {
 public:
  explicit Builder(Reader* reader) : reader_(*reader) {}

  // The dictionary's entries, each key's last value winning, as the
  // model's dictionary does too.
  std::map<std::string, Built> Entries(int depth) {
    std::map<std::string, Built> entries;
    std::size_t count = reader_.Byte() % (kMaxCount + 1);
    for (std::size_t i = 0; i < count && reader_.Left() > 0; ++i) {
      std::string key = WireString(reader_.Bytes(24));
      Built value = Make(depth + 1);
      entries.insert_or_assign(std::move(key), std::move(value));
    }
    return entries;
  }

  static std::pair<DbusDictionary, std::optional<Dictionary>> Split(
      std::map<std::string, Built> entries) {
    DbusDictionary wire;
    std::optional<Dictionary> expected = Dictionary();
    for (auto& [key, built] : entries) {
      wire.emplace(key, std::move(built.variant));
      if (!built.expected) {
        expected.reset();
      } else if (expected) {
        expected->emplace(key, std::move(*built.expected));
      }
    }
    return {std::move(wire), std::move(expected)};
  }

 private:
  Built Make(int depth) {
    ++nodes_;
    bool leaf_only = depth >= kMaxDepth || nodes_ >= kMaxNodes;
    std::uint8_t op = reader_.Byte() % 20;
    if (leaf_only && op >= 10) op %= 10;
    switch (op) {
      case 0: {
        std::string s = WireString(reader_.Bytes(32));
        return {sdbus::Variant(s), Value(s)};
      }
      case 1: {
        bool b = (reader_.Byte() & 1) != 0;
        return {sdbus::Variant(b), Value(b)};
      }
      case 2:
        return Integer(reader_.Number<std::uint8_t>());
      case 3:
        return Integer(reader_.Number<std::int16_t>());
      case 4:
        return Integer(reader_.Number<std::uint16_t>());
      case 5:
        return Integer(reader_.Number<std::int32_t>());
      case 6:
        return Integer(reader_.Number<std::uint32_t>());
      case 7:
        return Integer(reader_.Number<std::int64_t>());
      case 8: {
        auto u = reader_.Number<std::uint64_t>();
        // Beyond the integers' range a number can only be a real.
        Value expected = u <= static_cast<std::uint64_t>(
                                  std::numeric_limits<std::int64_t>::max())
                             ? Value(static_cast<std::int64_t>(u))
                             : Value(static_cast<double>(u));
        return {sdbus::Variant(u), expected};
      }
      case 9: {
        auto d = reader_.Number<double>();
        return {sdbus::Variant(d), Value(d)};
      }
      case 10: {
        std::vector<std::string> strings;
        Array expected;
        std::size_t count = reader_.Byte() % (kMaxCount + 1);
        for (std::size_t i = 0; i < count; ++i) {
          strings.push_back(WireString(reader_.Bytes(16)));
          expected.emplace_back(strings.back());
        }
        return {sdbus::Variant(strings), Value(std::move(expected))};
      }
      case 11: {
        std::vector<sdbus::Variant> variants;
        std::optional<Array> expected = Array();
        std::size_t count = reader_.Byte() % (kMaxCount + 1);
        for (std::size_t i = 0; i < count; ++i) {
          Built element = Make(depth + 1);
          variants.push_back(std::move(element.variant));
          if (!element.expected) {
            expected.reset();
          } else if (expected) {
            expected->push_back(std::move(*element.expected));
          }
        }
        return {sdbus::Variant(variants), Wrap(std::move(expected))};
      }
      case 12: {
        auto [wire, expected] = Split(Entries(depth));
        return {sdbus::Variant(wire), Wrap(std::move(expected))};
      }
      case 13: {
        Built inner = Make(depth + 1);
        return {sdbus::Variant(NestedVariant{std::move(inner.variant)}),
                std::move(inner.expected)};
      }
      // These have no property-list form.
      case 14: {
        std::string path = "/";
        for (char c : reader_.Bytes(8)) {
          if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) path += c;
        }
        return {sdbus::Variant(sdbus::ObjectPath(path)), std::nullopt};
      }
      case 15:
        return {sdbus::Variant(
                    sdbus::Signature(reader_.Byte() % 2 == 0 ? "s" : "a{sv}")),
                std::nullopt};
      // Arrays and dictionaries of other element types are lists and
      // dictionaries: bytes too, as numbers.
      case 16: {
        std::vector<std::int32_t> numbers(reader_.Byte() % (kMaxCount + 1));
        Array expected;
        for (std::int32_t& n : numbers) {
          n = reader_.Number<std::int32_t>();
          expected.emplace_back(static_cast<std::int64_t>(n));
        }
        return {sdbus::Variant(numbers), Value(std::move(expected))};
      }
      case 17: {
        std::string bytes = reader_.Bytes(8);
        Array expected;
        for (unsigned char c : bytes) {
          expected.emplace_back(static_cast<std::int64_t>(c));
        }
        return {sdbus::Variant(
                    std::vector<std::uint8_t>(bytes.begin(), bytes.end())),
                Value(std::move(expected))};
      }
      case 18: {
        std::map<std::string, std::string> strings;
        std::size_t count = reader_.Byte() % (kMaxCount + 1);
        for (std::size_t i = 0; i < count; ++i) {
          std::string key = WireString(reader_.Bytes(8));
          strings[key] = WireString(reader_.Bytes(8));
        }
        Dictionary expected;
        for (const auto& [key, text] : strings)
          expected.emplace(key, Value(text));
        return {sdbus::Variant(strings), Value(std::move(expected))};
      }
      // The rest have no property-list form.
      default: {
        std::string text = WireString(reader_.Bytes(8));
        sdbus::Struct<std::string, std::int64_t> pair(
            text, reader_.Number<std::int64_t>());
        return {sdbus::Variant(pair), std::nullopt};
      }
    }
  }

  template <typename T>
  static Built Integer(T n) {
    return {sdbus::Variant(n), Value(static_cast<std::int64_t>(n))};
  }

  template <typename T>
  static std::optional<Value> Wrap(std::optional<T> contents) {
    if (!contents) return std::nullopt;
    return Value(std::move(*contents));
  }

  Reader& reader_;
  int nodes_ = 0;
};

// Equality that tells reals apart by their bits: a NaN must come back as
// itself, and so must -0.
bool Same(const Value& a, const Value& b);

bool SameDictionary(const Dictionary& a, const Dictionary& b) {
  if (a.size() != b.size()) return false;
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
    if (i->first != j->first || !Same(i->second, j->second)) return false;
  }
  return true;
}

bool Same(const Value& a, const Value& b) {
  if (a.type() != b.type()) return false;
  if (const double* x = a.AsReal()) {
    return std::bit_cast<std::uint64_t>(*x) ==
           std::bit_cast<std::uint64_t>(*b.AsReal());
  }
  if (const Array* x = a.AsArray()) {
    const Array& y = *b.AsArray();
    if (x->size() != y.size()) return false;
    for (std::size_t i = 0; i < x->size(); ++i) {
      if (!Same((*x)[i], y[i])) return false;
    }
    return true;
  }
  if (const Dictionary* x = a.AsDictionary()) {
    return SameDictionary(*x, *b.AsDictionary());
  }
  return a == b;
}

// Going out, a value is carried whole or refused whole: every string of a
// dictionary built from raw bytes (NUL, noncharacters, bad UTF-8 among
// them) either passes the bus library itself and comes back unchanged, or
// the whole dictionary is refused with a reason, and then some string in
// it is one the library would shorten (a NUL) or refuse.
void CheckCarriedWholeOrRefused(Reader& reader) {
  Dictionary value;
  std::size_t count = reader.Byte() % (kMaxCount + 1);
  for (std::size_t i = 0; i < count && reader.Left() > 0; ++i) {
    std::string key = reader.Bytes(12);
    Array strings;
    std::size_t n = reader.Byte() % (kMaxCount + 1);
    for (std::size_t j = 0; j < n; ++j) strings.emplace_back(reader.Bytes(12));
    if (reader.Byte() % 2 == 0 && !strings.empty()) {
      value.insert_or_assign(std::move(key), strings.front());
    } else {
      value.insert_or_assign(
          std::move(key),
          Value(Dictionary{{"list", Value(std::move(strings))}}));
    }
  }
  quillfen::Result<quillfen::DbusDictionary> out =
      quillfen::DbusFromDictionary(value);
  bool library_takes_all = true;
  auto library_takes = [&](const std::string& text) {
    // The library keeps a string only up to a NUL, and throws on the rest
    // of what it refuses.
    bool takes = text.find('\0') == std::string::npos;
    try {
      sdbus::Variant probe(text);
    } catch (const sdbus::Error&) {
      takes = false;
    }
    // The one rule agrees with the library, string by string.
    FUZZ_CHECK(takes == quillfen::IsBusString(text));
    library_takes_all = library_takes_all && takes;
  };
  for (const auto& [key, element] : value) {
    library_takes(key);
    if (const std::string* text = element.AsString()) {
      library_takes(*text);
    } else {
      for (const Value& s : *element.AsDictionary()->at("list").AsArray()) {
        library_takes(*s.AsString());
      }
    }
  }
  if (!out) {
    FUZZ_CHECK(!out.error().message.empty());
    FUZZ_CHECK(!library_takes_all);
    return;
  }
  FUZZ_CHECK(library_takes_all);
  quillfen::Result<quillfen::Dictionary> back =
      quillfen::DictionaryFromDbus(*out);
  FUZZ_CHECK(back.ok());
  FUZZ_CHECK(*back == value);
}

}  // namespace
}  // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace quillfen;
  fuzz::Reader reader(data, size);
  // The first byte picks the direction.
  if (reader.Byte() % 4 == 0) {
    fuzz::CheckCarriedWholeOrRefused(reader);
    return 0;
  }
  fuzz::Builder builder(&reader);
  auto [wire, expected] = fuzz::Builder::Split(builder.Entries(0));

  Result<Dictionary> read = DictionaryFromDbus(wire);
  FUZZ_CHECK(read.ok() == expected.has_value());
  if (!read) {
    // A refusal names what was refused.
    FUZZ_CHECK(!read.error().message.empty());
    return 0;
  }
  FUZZ_CHECK(fuzz::SameDictionary(*read, *expected));

  // Going out, only the types the service itself sends are used.
  Result<DbusDictionary> out = DbusFromDictionary(*read);
  FUZZ_CHECK(out.ok());
  for (const auto& [key, variant] : *out) {
    const std::string type = variant.peekValueType();
    FUZZ_CHECK(type == "s" || type == "b" || type == "x" || type == "d" ||
               type == "as" || type == "av" || type == "a{sv}");
  }
  Result<Dictionary> again = DictionaryFromDbus(*out);
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(fuzz::SameDictionary(*again, *read));
  return 0;
}
