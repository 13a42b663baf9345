#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "Values/Dictionary.h"
#include "Archiving/PropertyList.h"
#include "Archiving/PropertyListGraph.h"

using namespace platform;

namespace {

Data bytesOf(std::string_view text) { return Data(text.begin(), text.end()); }

// A new folder under /tmp named from `prefix`; empty when none could be made.
std::string newFolder(const std::string& prefix) {
  std::string path = "/tmp/" + prefix + ".XXXXXX";
  return mkdtemp(path.data()) ? path : std::string();
}

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

// Arrays `levels` deep with `leaf` innermost.
Value nestedAround(const Value& leaf, std::size_t levels) {
  Value value = leaf;
  for (std::size_t level = 1; level < levels; ++level) value = Array{value};
  return value;
}

std::optional<Data> writeWithin(const Value& value, PropertyListFormat format, const PropertyListLimits& limits,
                                ErrorPtr* error = nullptr) {
  const auto graph = PropertyListGraph::make(value, format, error, limits);
  if (!graph) return std::nullopt;
  return graph->bytes();
}

// The largest n, from `from` up, for which the writer takes `grow(n)` within
// `limits` (a value that grows with n). What it writes there reads back
// within them; the next value is refused with the write error, and its
// bytes, from a writer without limits, are refused by the reader: the
// writer's bound is the reader's.
std::size_t readersBound(const std::function<Value(std::size_t)>& grow, PropertyListFormat format,
                         const PropertyListLimits& limits, std::size_t from = 1) {
  const auto taken = [&](std::size_t n) { return writeWithin(grow(n), format, limits).has_value(); };
  EXPECT_TRUE(taken(from)) << "nothing written from " << from;
  // The writer takes n and refuses `refused`: double the step, then halve the gap.
  std::size_t n = from;
  std::size_t refused = from + 1;
  while (refused < from + 100000 && taken(refused)) {
    n = refused;
    refused = from + 2 * (refused - from);
  }
  while (refused - n > 1) {
    const std::size_t middle = n + (refused - n) / 2;
    (taken(middle) ? n : refused) = middle;
  }
  ErrorPtr error;
  const auto at = writeWithin(grow(n), format, limits);
  if (!at) return n;
  const Value back = PropertyList::read(*at, &error, nullptr, limits);
  EXPECT_EQ(back, grow(n)) << n << " " << (error ? error->description() : back.description());
  error = nullptr;
  EXPECT_FALSE(writeWithin(grow(n + 1), format, limits, &error)) << n;
  EXPECT_TRUE(error && error->is(Error::kCocoaErrorDomain, PropertyList::kWriteInvalidError)) << n;
  constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  const auto past = writeWithin(grow(n + 1), format, PropertyListLimits{kNone, kNone, kNone, kNone});
  EXPECT_TRUE(past) << n;
  if (past) {
    EXPECT_TRUE(PropertyList::read(*past, &error, nullptr, limits).isNil()) << n;
    EXPECT_TRUE(error && error->is(Error::kCocoaErrorDomain, PropertyList::kReadCorruptError)) << n;
  }
  return n;
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

// Each form is written up to the bounds of its reader, counted as that reader
// counts them, and no further: the XML reader counts the root element and
// every key and scalar element (empty elements take no level), the binary
// reader every key and each reference written out, and text outside ASCII at
// three bytes a UTF-16 unit; both count the file's bytes.
TEST(PropertyListTest, WritesAtEachBoundOfTheReaderAndRefusesOnePast) {
  const auto both = {PropertyListFormat::Binary, PropertyListFormat::Xml};
  const Value leaves[] = {Value(7),          Value("text"),      Value(true), Value(Array{}),
                          Value(Dictionary{}), Value(Dictionary{{"key", 7}}), Value(Data{1, 2}), Value(Date(-2.0))};
  for (const auto format : both) {
    for (const Value& leaf : leaves) {
      readersBound([&](std::size_t n) { return nestedAround(leaf, n); }, format, PropertyListLimits{}, 500);
    }
  }
  const auto aroundInteger = [](std::size_t n) { return nestedAround(Value(7), n); };
  EXPECT_EQ(readersBound(aroundInteger, PropertyListFormat::Binary, PropertyListLimits{}, 500), 512u);
  EXPECT_EQ(readersBound(aroundInteger, PropertyListFormat::Xml, PropertyListLimits{}, 500), 511u);

  PropertyListLimits few;
  few.maxNodes = 12;
  for (const auto format : both) {
    readersBound([](std::size_t n) { return Value(Array(n, Value(7))); }, format, few);
    readersBound([](std::size_t n) {
      Dictionary keys;
      for (std::size_t i = 0; i < n; ++i) keys.set("key" + std::to_string(i), Value(true));
      return Value(std::move(keys));
    }, format, few);
    readersBound([](std::size_t n) {
      const Value shared(Array(n, Value("x")));
      return Value(Array{shared, shared});
    }, format, few);
  }

  // The XML reader does not count string and data bytes; its file's size bounds them.
  PropertyListLimits little;
  little.maxPayloadBytes = 40;
  const Data shared(4, 0xA5);
  const std::function<Value(std::size_t)> payloads[] = {
      [](std::size_t n) { return Value(Array(n, Value("\xC3\xA9"))); },
      [](std::size_t n) { return Value(Array(n, Value("\xF0\x9F\x96\xA8"))); },
      [&](std::size_t n) { return Value(Array(n, Value(shared))); },
      [](std::size_t n) { return Value(Dictionary{{std::string(n, 'k'), Value(std::string(n, 'v'))}}); },
  };
  EXPECT_EQ(readersBound(payloads[0], PropertyListFormat::Binary, little), 13u);
  EXPECT_EQ(readersBound(payloads[1], PropertyListFormat::Binary, little), 6u);
  EXPECT_EQ(readersBound(payloads[2], PropertyListFormat::Binary, little), 10u);
  EXPECT_EQ(readersBound(payloads[3], PropertyListFormat::Binary, little), 20u);

  PropertyListLimits small;
  small.maxBytes = 2000;
  const Value inner(Array{Value(Array{Value(1.5), Value(Date(-2.0)), Value(true), Value(-3)})});
  const std::function<Value(std::size_t)> sizes[] = {
      [](std::size_t n) { return Value(std::string(n, 'a')); },
      [](std::size_t n) { return Value(Data(n, 0xA5)); },
      [](std::size_t n) { return Value(Array(n, Value("a\r&<>\xC3\xA9"))); },
      [&](std::size_t n) { return Value(Dictionary{{"k", Array(n, inner)}}); },
      // Past 255 objects, references take two bytes.
      [](std::size_t n) {
        Array numbers;
        for (std::size_t i = 0; i < n; ++i) numbers.push_back(Value(static_cast<std::int64_t>(i * 1000)));
        return Value(std::move(numbers));
      },
  };
  for (const auto format : both) {
    for (const auto& grow : sizes) readersBound(grow, format, small);
  }
}

// Far past a limit of the default reader, a value is refused at once, before
// any of it is written: one data item that 257 or 4,000 references expand
// past 256 MiB, 65 distinct ones past 64 MiB of file.
TEST(PropertyListTest, RefusesAtOnceWhatEndsPastTheDefaultReader) {
  const Value mebibyte(Data(1 << 20, 0x5A));
  Array distinct;
  for (int i = 0; i < 65; ++i) distinct.push_back(Value(Data(1 << 20, static_cast<std::uint8_t>(i))));
  for (const Value& value : {Value(Array(257, mebibyte)), Value(Array(4000, mebibyte)), Value(distinct)}) {
    for (const auto format : {PropertyListFormat::Binary, PropertyListFormat::Xml}) {
      ErrorPtr error;
      EXPECT_FALSE(PropertyList::write(value, format, &error));
      EXPECT_TRUE(error && error->is(Error::kCocoaErrorDomain, PropertyList::kWriteInvalidError));
    }
  }
}

// A data item that the value refers to many times is measured and written
// once: writing it takes about what writing the same bytes once does, not a
// copy and a hash at every reference.
TEST(PropertyListTest, WritesSharedDataOnceHoweverOftenItIsReferredTo) {
  // 256 MiB once expanded: as much as the reader takes. How quickly it is
  // written, against distinct data of the same size, is measured by the
  // property-list benchmark.
  const Value shared(Array(256, Value(Data(1 << 20, 0x5A))));
  const auto large = PropertyList::write(shared, PropertyListFormat::Binary);
  ASSERT_TRUE(large);
  EXPECT_LT(large->size(), (1u << 20) + 4096);

  const Value few(Array(4, Value(Data(1000, 0x5A))));
  const auto bytes = PropertyList::write(few, PropertyListFormat::Binary);
  ASSERT_TRUE(bytes);
  EXPECT_LT(bytes->size(), 1100u);
  EXPECT_EQ(PropertyList::read(*bytes), few);
}

// Dates before 2001 with a fraction: the binary form reads back to the
// microsecond (libplist alone reads -0.5 as 0.5), the XML form holds whole
// seconds, by floor as its readers take them.
TEST(PropertyListTest, DatesBefore2001ReadBackInBothForms) {
  const double epoch = -Date::kReferenceDateSince1970;
  const struct {
    double seconds;
    const char* text;
    double whole;
  } dates[] = {{-1.5, "2000-12-31T23:59:58Z", -2},
               {-0.5, "2000-12-31T23:59:59Z", -1},
               {-0.000001, "2000-12-31T23:59:59Z", -1},
               {epoch + 0.25, "1970-01-01T00:00:00Z", epoch},
               {0.5, "2001-01-01T00:00:00Z", 0},
               {86400.75, "2001-01-02T00:00:00Z", 86400},
               {-2147483648.0, "1932-12-13T20:45:52Z", -2147483648.0},
               {2147483647.5, "2069-01-19T03:14:07Z", 2147483647.0}};
  for (const auto& date : dates) {
    const Value value(Dictionary{{"when", Date(date.seconds)}, {"list", Array{Value(1), Value(Date(date.seconds))}}});
    const auto binary = PropertyList::write(value, PropertyListFormat::Binary);
    ASSERT_TRUE(binary) << date.text;
    EXPECT_EQ(PropertyList::read(*binary), value) << date.text;

    const auto xml = PropertyList::write(Value(Date(date.seconds)), PropertyListFormat::Xml);
    ASSERT_TRUE(xml) << date.text;
    EXPECT_NE(std::string(xml->begin(), xml->end()).find(std::string("<date>") + date.text + "</date>"),
              std::string::npos)
        << date.text;
    EXPECT_EQ(PropertyList::read(*xml), Value(Date(date.whole))) << date.text;
  }

  // Each date of a binary file is its own object's, however the objects are
  // shared and whatever a dictionary holds twice.
  const auto date = [](double seconds) {
    Data object{0x33};
    const auto bits = std::bit_cast<std::uint64_t>(seconds);
    for (int i = 7; i >= 0; --i) object.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    return object;
  };
  const Data file = binaryPlist({Data{0xA5, 1, 2, 3, 1, 5}, date(-0.5), date(0.5), Data{0xD1, 4, 1},
                                 Data{0x51, 'k'}, Data{0xD2, 4, 4, 1, 6}, date(-0.25)});
  ErrorPtr error;
  EXPECT_EQ(PropertyList::read(file, &error),
            Value(Array{Value(Date(-0.5)), Value(Date(0.5)), Value(Dictionary{{"k", Date(-0.5)}}),
                        Value(Date(-0.5)), Value(Dictionary{{"k", Date(-0.25)}})}))
      << (error ? error->description() : "");
}

// The XML form holds only what XML 1.0 carries, and gives back what it holds:
// a control character other than tab, line feed and carriage return, U+FFFE
// and U+FFFF are refused there (the binary form takes them); a carriage
// return is a character reference, which readers do not turn into a line
// feed; -0.0 keeps its sign.
TEST(PropertyListTest, TheXmlFormHoldsOnlyWhatXmlCarries) {
  for (const std::string text : {"a\x01" "b", "\x1F", "\x0B", "a\xEF\xBF\xBE", "\xEF\xBF\xBF"}) {
    for (const Value& value : {Value(text), Value(Array{Value(Dictionary{{text, 1}})})}) {
      ErrorPtr error;
      EXPECT_FALSE(PropertyList::write(value, PropertyListFormat::Xml, &error)) << value.description();
      EXPECT_TRUE(error && error->is(Error::kCocoaErrorDomain, PropertyList::kWriteInvalidError));
      const auto binary = PropertyList::write(value, PropertyListFormat::Binary);
      ASSERT_TRUE(binary);
      EXPECT_EQ(PropertyList::read(*binary), value);
    }
  }
  for (const std::string text : {"a\rb", "a\r\nb", "\t\n", "\x7F\xC2\x85", "\xEF\xBF\xBD \xF0\x9F\x96\xA8", "&<>]]>"}) {
    const Value value(Dictionary{{text, text}});
    const auto xml = PropertyList::write(value, PropertyListFormat::Xml);
    ASSERT_TRUE(xml);
    EXPECT_EQ(std::count(xml->begin(), xml->end(), '\r'), 0);
    EXPECT_EQ(PropertyList::read(*xml), value);
  }
  for (const auto format : {PropertyListFormat::Binary, PropertyListFormat::Xml}) {
    const auto bytes = PropertyList::write(Value(-0.0), format);
    ASSERT_TRUE(bytes);
    const Value back = PropertyList::read(*bytes);
    ASSERT_TRUE(back.number() && back.number()->isDouble());
    EXPECT_TRUE(std::signbit(back.doubleValue()));
  }
}

// Readers other than ours take both forms as written: xmllint finds the XML
// well formed, and Python's plistlib reads each form and writes it again in
// the binary form, which reads back as the value (the XML form's dates in
// whole seconds).
TEST(PropertyListTest, IndependentReadersReadBothForms) {
  const bool python = std::system("python3 -c 'import plistlib' > /dev/null 2>&1") == 0;
  const bool xmllint = std::system("xmllint --version > /dev/null 2>&1") == 0;
  if (!python && !xmllint) GTEST_SKIP() << "neither python3 nor xmllint";
  const std::string folder = newFolder("PropertyListReaders");
  ASSERT_FALSE(folder.empty());
  std::ofstream(folder + "/again.py") << "import plistlib, sys\n"
                                         "with open(sys.argv[1], 'rb') as f: value = plistlib.load(f)\n"
                                         "with open(sys.argv[2], 'wb') as f:\n"
                                         "    plistlib.dump(value, f, fmt=plistlib.FMT_BINARY, sort_keys=False)\n";
  const double epoch = -Date::kReferenceDateSince1970;
  const Value bytes(Data(300, 0x5A));
  const auto value = [&](bool wholeSeconds) {
    return Value(Dictionary{{"text", "a\r\nb & <c> \t\xC3\xA9 \xF0\x9F\x96\xA8"},
                            {"key\r", 1},
                            {"negative zero", -0.0},
                            {"tenth", 0.1},
                            {"least", std::numeric_limits<std::int64_t>::min()},
                            {"before 2001", Date(wholeSeconds ? -2 : -1.5)},
                            {"unix epoch", Date(wholeSeconds ? epoch : epoch + 0.25)},
                            {"shared", Array{bytes, bytes, Value(Dictionary{})}}});
  };
  for (const auto format : {PropertyListFormat::Binary, PropertyListFormat::Xml}) {
    const std::string ours = folder + (format == PropertyListFormat::Xml ? "/ours.xml" : "/ours.plist");
    const std::string theirs = folder + "/theirs.plist";
    ASSERT_TRUE(PropertyList::writeFile(value(false), ours, format));
    if (xmllint && format == PropertyListFormat::Xml) {
      EXPECT_EQ(std::system(("xmllint --noout " + ours).c_str()), 0);
    }
    if (python) {
      ASSERT_EQ(std::system(("python3 " + folder + "/again.py " + ours + " " + theirs).c_str()), 0);
      ErrorPtr error;
      const Value back = PropertyList::readFile(theirs, &error);
      EXPECT_EQ(back, value(format == PropertyListFormat::Xml)) << (error ? error->description() : back.description());
      EXPECT_TRUE(std::signbit(back.dictionary()->find("negative zero")->doubleValue()));
      unlink(theirs.c_str());
    }
    unlink(ours.c_str());
  }
  unlink((folder + "/again.py").c_str());
  rmdir(folder.c_str());
}

namespace {

// A binary integer object of 16 bytes: `high`, then `low`, big-endian.
Data sixteenByteInteger(std::uint64_t high, std::uint64_t low) {
  Data object{0x14};
  for (int i = 15; i >= 0; --i) object.push_back(static_cast<std::uint8_t>((i >= 8 ? high : low) >> (8 * (i % 8))));
  return object;
}

}  // namespace

// A 16-byte integer (as plistlib writes 2^63 and up) reads as its value when
// the platform's numbers hold it, wherever the file refers to it; one they
// cannot hold, or a wider integer, refuses the file, naming where it is,
// rather than reading as its low 64 bits.
TEST(PropertyListTest, ReadsSixteenByteIntegersExactlyOrRefusesTheFile) {
  constexpr std::uint64_t kOnes = std::numeric_limits<std::uint64_t>::max(), kTop = std::uint64_t{1} << 63;
  // The integer is object 1, at byte 12: twice in an array, once in a dictionary.
  const auto fileAround = [](const Data& integer) {
    return binaryPlist({Data{0xA3, 1, 1, 2}, integer, Data{0xD1, 3, 1}, Data{0x51, 'k'}});
  };
  const std::pair<Data, Value> exact[] = {{sixteenByteInteger(0, kOnes), Value(kOnes)},
                                          {sixteenByteInteger(0, kTop), Value(kTop)},
                                          {sixteenByteInteger(0, 5), Value(5)},
                                          {sixteenByteInteger(kOnes, kOnes), Value(-1)},
                                          {sixteenByteInteger(kOnes, kTop), Value(std::numeric_limits<std::int64_t>::min())}};
  for (const auto& [object, value] : exact) {
    EXPECT_EQ(PropertyList::read(fileAround(object)), Value(Array{value, value, Value(Dictionary{{"k", value}})}))
        << value.description();
  }
  Data thirtyTwoBytes(33, 0);
  thirtyTwoBytes[0] = 0x15;
  for (const Data& object : {sixteenByteInteger(1, 0), sixteenByteInteger(kOnes, 0), sixteenByteInteger(kOnes, kTop - 1),
                             sixteenByteInteger(kTop, 0), thirtyTwoBytes}) {
    ErrorPtr error;
    EXPECT_TRUE(PropertyList::read(fileAround(object), &error).isNil());
    ASSERT_TRUE(error && error->is(Error::kCocoaErrorDomain, PropertyList::kReadCorruptError));
    EXPECT_EQ(error->userInfo().objectForKey("NSDebugDescription"), Value("integer at byte 12 wider than 64 bits"));
  }
  // Sixteen bytes that run into the offset table are no integer at all.
  ErrorPtr error;
  EXPECT_TRUE(PropertyList::read(binaryPlist({Data{0xA1, 1}, Data{0x14, 0, 0, 0, 0}}), &error).isNil());
  EXPECT_EQ(error->userInfo().objectForKey("NSDebugDescription"), Value("integer at byte 10 past the objects"));
}

// Integers to UINT64_MAX go both ways with plistlib: its 16-byte integers read
// exactly, and ours, written as it writes them (16 bytes in the binary form),
// read back in plistlib as the same numbers in both forms.
TEST(PropertyListTest, IntegersPastInt64MaxGoBothWaysWithPlistlib) {
  if (std::system("python3 -c 'import plistlib' > /dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
  const std::string folder = newFolder("PropertyListIntegers");
  ASSERT_FALSE(folder.empty());
  std::ofstream(folder + "/both.py") << "import plistlib, sys\n"
                                        "numbers = [2**63 - 1, 2**63, 2**64 - 1, -1, -2**63]\n"
                                        "if sys.argv[1] == 'write':\n"
                                        "    with open(sys.argv[2], 'wb') as f: plistlib.dump(numbers, f, fmt=plistlib.FMT_BINARY)\n"
                                        "with open(sys.argv[2], 'rb') as f: sys.exit(plistlib.load(f) != numbers)\n";
  const Value numbers(Array{Value(std::numeric_limits<std::int64_t>::max()), Value(std::uint64_t{1} << 63),
                            Value(std::numeric_limits<std::uint64_t>::max()), Value(-1),
                            Value(std::numeric_limits<std::int64_t>::min())});
  const std::string script = "python3 " + folder + "/both.py ";
  ASSERT_EQ(std::system((script + "write " + folder + "/theirs").c_str()), 0);
  EXPECT_EQ(PropertyList::readFile(folder + "/theirs"), numbers);
  for (const auto format : {PropertyListFormat::Binary, PropertyListFormat::Xml}) {
    ASSERT_TRUE(PropertyList::writeFile(numbers, folder + "/ours", format));
    EXPECT_EQ(std::system((script + "read " + folder + "/ours").c_str()), 0);
  }
  const auto binary = PropertyList::write(numbers, PropertyListFormat::Binary);
  const Data largest = sixteenByteInteger(0, std::numeric_limits<std::uint64_t>::max());
  EXPECT_NE(std::search(binary->begin(), binary->end(), largest.begin(), largest.end()), binary->end());
  EXPECT_EQ(PropertyList::read(*binary), numbers);
  for (const char* name : {"/both.py", "/theirs", "/ours"}) unlink((folder + name).c_str());
  rmdir(folder.c_str());
}
