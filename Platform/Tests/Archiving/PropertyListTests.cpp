#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "Values/Dictionary.h"
#include "Archiving/PropertyList.h"

using namespace platform;

namespace {

Data bytesOf(std::string_view text) { return Data(text.begin(), text.end()); }

// A binary property list assembled by hand: objects in order, one-byte
// references, one-byte or two-byte offsets.
Data binaryPlist(const std::vector<Data>& objects, std::uint64_t top = 0) {
  Data out = bytesOf("bplist00");
  std::vector<std::size_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(out.size());
    out.insert(out.end(), object.begin(), object.end());
  }
  const std::size_t table = out.size();
  for (std::size_t offset : offsets) {
    out.push_back(static_cast<std::uint8_t>(offset >> 8));
    out.push_back(static_cast<std::uint8_t>(offset));
  }
  Data trailer(32, 0);
  trailer[6] = 2;  // offset size
  trailer[7] = 1;  // reference size
  for (int i = 0; i < 8; ++i) {
    trailer[8 + i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(objects.size()) >> (8 * (7 - i)));
    trailer[16 + i] = static_cast<std::uint8_t>(top >> (8 * (7 - i)));
    trailer[24 + i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(table) >> (8 * (7 - i)));
  }
  out.insert(out.end(), trailer.begin(), trailer.end());
  return out;
}

Value sample() {
  Dictionary nested{{"deep", Array{Value(1), Value("two"), Value(Dictionary{{"three", 3.5}})}}};
  return Value(Dictionary{{"name", "tray \xC3\xA9"},
                          {"yes", true},
                          {"count", 42},
                          {"negative", -5},
                          {"min", std::numeric_limits<std::int64_t>::min()},
                          {"ratio", 0.5},
                          {"whole", 120.0},
                          {"bytes", Data{0, 1, 2, 255}},
                          {"when", Date(3.0)},
                          {"nested", nested},
                          {"empty", Dictionary{}}});
}

}  // namespace

TEST(PropertyListTest, RoundTripsEveryKindInBothFormats) {
  for (auto format : {PropertyListFormat::Binary, PropertyListFormat::Xml}) {
    ErrorPtr error;
    const auto bytes = PropertyList::write(sample(), format, &error);
    ASSERT_TRUE(bytes) << error->description();
    PropertyListFormat detected{};
    const Value back = PropertyList::read(*bytes, &error, &detected);
    ASSERT_FALSE(back.isNil()) << error->description();
    EXPECT_EQ(detected, format);
    EXPECT_EQ(back, sample());
    // Numbers keep their kind: bool, signed integer, real.
    const Dictionary& d = *back.dictionary();
    EXPECT_TRUE(d.find("yes")->number()->isBool());
    EXPECT_EQ(d.find("negative")->number()->kind(), Number::Kind::Int);
    EXPECT_EQ(d.find("negative")->integerValue(), -5);
    EXPECT_EQ(d.find("min")->integerValue(), std::numeric_limits<std::int64_t>::min());
    EXPECT_TRUE(d.find("whole")->number()->isDouble());
    // Keys come back in the order they were written.
    EXPECT_EQ(d.keys().front(), "name");
    EXPECT_EQ(d.keys().back(), "empty");
  }
}

// The widths of the binary form: counts past the marker's nibble, integers
// of one to eight bytes, text outside ASCII (a character of two UTF-16
// units too), more objects than one-byte references reach and offsets past
// 64 KiB. Equal scalars are written once.
TEST(PropertyListTest, TheBinaryFormRoundTripsEveryWidth) {
  Array numbers;
  for (const std::int64_t n : {std::int64_t{0}, std::int64_t{14}, std::int64_t{255}, std::int64_t{256},
                               std::int64_t{65536}, std::int64_t{4294967295}, std::int64_t{4294967296},
                               std::numeric_limits<std::int64_t>::max(), std::int64_t{-1}}) {
    numbers.push_back(Value(n));
  }
  Array many;
  for (int i = 0; i < 300; ++i) many.push_back(Value(i * 1000));
  const Value value(Dictionary{{"numbers", numbers},
                               {"a longer key than fifteen", std::string(40, 'a')},
                               {"caf\xC3\xA9 \xF0\x9F\x96\xA8", "\xF0\x9F\x96\xA8 printer"},
                               {"bytes", Data(70000, 7)},
                               {"many", many},
                               {"when", Date(12.25)},
                               {"kinds", Array{Value(true), Value(1), Value(1.0)}}});
  const auto bytes = PropertyList::write(value, PropertyListFormat::Binary);
  ASSERT_TRUE(bytes);
  ErrorPtr error;
  const Value back = PropertyList::read(*bytes, &error);
  ASSERT_FALSE(back.isNil()) << error->description();
  EXPECT_EQ(back, value);
  const Array& kinds = *back.dictionary()->find("kinds")->array();
  EXPECT_TRUE(kinds[0].number()->isBool());
  EXPECT_EQ(kinds[1].number()->kind(), Number::Kind::Int);
  EXPECT_TRUE(kinds[2].number()->isDouble());

  const Value repeated(Array(100, Value("the same text")));
  const auto once = PropertyList::write(repeated, PropertyListFormat::Binary);
  ASSERT_TRUE(once);
  EXPECT_LT(once->size(), 300u);
  EXPECT_EQ(PropertyList::read(*once), repeated);
}

TEST(PropertyListTest, RefusesValuesItCannotHold) {
  const Value refused[] = {Value(),
                           Value::null(),
                           Value(*Url::fromString("https://example.com/")),
                           Value(std::numeric_limits<std::uint64_t>::max()),
                           Value(std::string("a\0b", 3)),
                           Value("\xFF\xFE"),
                           Value(Dictionary{{"\xC3", 1}}),
                           Value(Array{Value(1), Value()})};
  for (const Value& value : refused) {
    ErrorPtr error;
    EXPECT_FALSE(PropertyList::write(value, PropertyListFormat::Binary, &error)) << value.description();
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(Error::kCocoaErrorDomain, PropertyList::kWriteInvalidError));
  }
  // As deep as a reader takes, and no deeper.
  const auto nested = [](std::size_t levels) {
    Value value = Array{};
    for (std::size_t level = 1; level < levels; ++level) value = Array{value};
    return value;
  };
  const std::size_t deepest = PropertyListLimits{}.maxDepth;
  for (auto format : {PropertyListFormat::Binary, PropertyListFormat::Xml}) {
    const auto bytes = PropertyList::write(nested(deepest), format);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(PropertyList::read(*bytes), nested(deepest));
    EXPECT_FALSE(PropertyList::write(nested(deepest + 1), format));
  }
  // The largest unsigned integer that readers take back unchanged is fine.
  EXPECT_TRUE(PropertyList::write(Value(std::uint64_t{std::numeric_limits<std::int64_t>::max()}),
                                  PropertyListFormat::Binary));
}

TEST(PropertyListTest, ReadsDamagedInputAsAnError) {
  const Data damaged[] = {
      Data{},
      bytesOf("not a plist"),
      bytesOf("bplist00"),
      bytesOf("<plist><dict><key>a</key>"),
      // A reference past the last object.
      binaryPlist({Data{0xA1, 0x05}}),
      // An array that contains itself.
      binaryPlist({Data{0xA1, 0x00}}),
      // Keys with NUL, which libplist would abort on.
      binaryPlist({Data{0xD1, 0x01, 0x02}, Data{0x53, 'a', 0, 'b'}, Data{0x08}}),
      binaryPlist({Data{0xD1, 0x01, 0x02}, Data{0x62, 0, 'a', 0, 0}, Data{0x08}}),
      Data{'<', 'p', 'l', 'i', 's', 't', '>', 0, '<', '/', 'p', 'l', 'i', 's', 't', '>'},
      // An offset inside the trailer.
      [] {
        Data d = binaryPlist({Data{0x08}});
        d[d.size() - 33] = 0xFF;
        return d;
      }(),
  };
  for (const Data& bytes : damaged) {
    ErrorPtr error;
    EXPECT_TRUE(PropertyList::read(bytes, &error).isNil());
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(Error::kCocoaErrorDomain, PropertyList::kReadCorruptError));
  }
}

TEST(PropertyListTest, RefusesTreesBeyondTheLimitsBeforeExpandingThem) {
  // Thirty arrays that each reference the next one twice: 2^30 nodes once
  // expanded, from a file of a hundred bytes.
  std::vector<Data> doubling;
  for (std::uint8_t i = 0; i < 30; ++i) doubling.push_back(Data{0xA2, static_cast<std::uint8_t>(i + 1), static_cast<std::uint8_t>(i + 1)});
  doubling.push_back(Data{0x09});
  ErrorPtr error;
  EXPECT_TRUE(PropertyList::read(binaryPlist(doubling), &error).isNil());
  ASSERT_TRUE(error);

  // A table of more objects than the node limit, refused before the walk
  // keeps anything per object.
  PropertyListLimits few;
  few.maxNodes = 3;
  const std::vector<Data> pair{Data{0xA2, 0x01, 0x02}, Data{0x08}, Data{0x09}};
  EXPECT_FALSE(PropertyList::read(binaryPlist(pair), nullptr, nullptr, few).isNil());
  std::vector<Data> padded = pair;
  padded.push_back(Data{0x08});
  EXPECT_TRUE(PropertyList::read(binaryPlist(padded), &error, nullptr, few).isNil());
  EXPECT_EQ(error->userInfo().objectForKey("NSDebugDescription"), Value("too many objects"));

  // Arrays nested deeper than the limit, in both formats.
  PropertyListLimits limits;
  limits.maxDepth = 50;
  std::vector<Data> chain;
  for (std::uint8_t i = 0; i < 60; ++i) chain.push_back(Data{0xA1, static_cast<std::uint8_t>(i + 1)});
  chain.push_back(Data{0xA0});
  EXPECT_TRUE(PropertyList::read(binaryPlist(chain), nullptr, nullptr, limits).isNil());
  std::string xml = "<plist>";
  for (int i = 0; i < 60; ++i) xml += "<array>";
  for (int i = 0; i < 60; ++i) xml += "</array>";
  xml += "</plist>";
  EXPECT_TRUE(PropertyList::read(bytesOf(xml), nullptr, nullptr, limits).isNil());
  // Within the limits, the same shapes read.
  limits.maxDepth = 100;
  EXPECT_FALSE(PropertyList::read(binaryPlist(chain), nullptr, nullptr, limits).isNil());
  EXPECT_FALSE(PropertyList::read(bytesOf(xml), nullptr, nullptr, limits).isNil());

  // Far deeper than any stack: refused, not crashed.
  std::string deep = "<plist>" + std::string(7 * 200000, ' ') + "</plist>";
  for (std::size_t i = 0; i < 200000; ++i) std::memcpy(&deep[7 + 7 * i], "<array>", 7);
  EXPECT_TRUE(PropertyList::read(bytesOf(deep)).isNil());
}

TEST(PropertyListTest, ReadsAndWritesFiles) {
  char directory[] = "/tmp/PropertyListTests.XXXXXX";
  ASSERT_TRUE(mkdtemp(directory));
  const std::string path = std::string(directory) + "/settings.plist";

  ErrorPtr error;
  EXPECT_TRUE(PropertyList::readFile(path, &error).isNil());
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->is(Error::kCocoaErrorDomain, PropertyList::kFileReadNoSuchFileError));

  ASSERT_TRUE(PropertyList::writeFile(sample(), path, PropertyListFormat::Xml, &error));
  EXPECT_EQ(PropertyList::readFile(path, &error), sample());
  // A file larger than the limit is not read into memory.
  PropertyListLimits small;
  small.maxBytes = 16;
  EXPECT_TRUE(PropertyList::readFile(path, &error, small).isNil());
  EXPECT_TRUE(error->is(Error::kCocoaErrorDomain, PropertyList::kReadCorruptError));

  unlink(path.c_str());
  rmdir(directory);
}
