#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "Archiving/KeyedUnarchiver.h"
#include "Archiving/PropertyList.h"
#include "Values/Dictionary.h"

using namespace platform;

namespace {

constexpr std::string_view kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

// Whole seconds since 2001 of dates that other readers agree on.
constexpr double kYear1 = -63113904000;           // 0001-01-01T00:00:00Z
constexpr double kYear999End = -31588531201;      // 0999-12-31T23:59:59Z
constexpr double kYear1900 = -3187296000;         // 1900-01-01T00:00:00Z
constexpr double kBefore32BitSeconds = -2147483649;  // 1932-12-13T20:45:51Z
constexpr double kAfter32BitSeconds = 2147483648;    // 2069-01-19T03:14:08Z
constexpr double kYear2100Noon = 3155630400;      // 2100-12-31T12:00:00Z
constexpr double kYear9999End = 252423993599;     // 9999-12-31T23:59:59Z

Data bytesOf(std::string_view text) { return Data(text.begin(), text.end()); }

// A hand-written property list whose one value, `element`, is on line 4.
Value readXml(std::string_view element, ErrorPtr* error = nullptr) {
  return PropertyList::read(bytesOf(std::string(kHead) + std::string(element) + "\n</plist>\n"), error);
}

std::string descriptionOf(const ErrorPtr& error) {
  const Value description = error ? error->userInfo().objectForKey("NSDebugDescription") : Value();
  return description.string() ? *description.string() : "";
}

// `element` is refused as damaged, with a description that names `what` and
// the line.
void expectRefused(std::string_view element, std::string_view what) {
  ErrorPtr error;
  const Value value = readXml(element, &error);
  EXPECT_TRUE(value.isNil()) << element << " read as " << value.description();
  ASSERT_TRUE(error) << element;
  EXPECT_TRUE(error->is(Error::kCocoaErrorDomain, PropertyList::kReadCorruptError)) << element;
  const std::string description = descriptionOf(error);
  EXPECT_NE(description.find(what), std::string::npos) << element << ": " << description;
  EXPECT_NE(description.find("at line 4"), std::string::npos) << element << ": " << description;
}

// A folder of its own for files that Python's plistlib reads or writes.
class Plistlib {
 public:
  Plistlib() {
    char directory[] = "/tmp/PropertyListXmlRead.XXXXXX";
    if (mkdtemp(directory)) folder_ = directory;
  }
  ~Plistlib() {
    if (!folder_.empty()) std::system(("rm -rf " + folder_).c_str());
  }
  static bool available() { return std::system("python3 -c 'import plistlib' > /dev/null 2>&1") == 0; }
  std::string path(const std::string& name) const { return folder_ + "/" + name; }

  // Runs `script` with plistlib, datetime and math imported and the folder
  // as `folder`; its standard output, or nullopt when it failed.
  std::optional<std::string> run(const std::string& script) const {
    std::ofstream(path("script.py")) << "import datetime, math, plistlib, sys\nfolder = sys.argv[1]\n" << script;
    FILE* pipe = ::popen(("python3 " + path("script.py") + " " + folder_).c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string output;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
    if (::pclose(pipe) != 0) return std::nullopt;
    return output;
  }

 private:
  std::string folder_;
};

}  // namespace

// Integers are decimal, leading zeros included, or hexadecimal after "0x",
// from INT64_MIN to UINT64_MAX; any other text, or an integer past that
// range, refuses the file rather than reading as another number.
TEST(PropertyListXmlReadTest, IntegersReadAsWrittenOrRefuseTheFile) {
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  constexpr auto kLeast = std::numeric_limits<std::int64_t>::min();
  const struct {
    const char* text;
    Number number;
  } integers[] = {{"010", std::int64_t{10}},
                  {"08", std::int64_t{8}},
                  {"-007", std::int64_t{-7}},
                  {"+5", std::int64_t{5}},
                  {" 42\n", std::int64_t{42}},
                  {"0x1F", std::int64_t{31}},
                  {"0XfF", std::int64_t{255}},
                  {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
                  {"9223372036854775808", std::uint64_t{1} << 63},
                  {"18446744073709551615", kMax},
                  {"0xFFFFFFFFFFFFFFFF", kMax},
                  {"-9223372036854775808", kLeast}};
  for (const auto& integer : integers) {
    ErrorPtr error;
    const Value value = readXml(std::string("<integer>") + integer.text + "</integer>", &error);
    ASSERT_TRUE(value.number()) << integer.text << ": " << descriptionOf(error);
    EXPECT_EQ(*value.number(), integer.number) << integer.text;
    // Above INT64_MAX unsigned, else signed: never a real, never wrapped.
    EXPECT_EQ(value.number()->kind(), integer.number.kind()) << integer.text;
  }
  for (const char* text : {"abc", "", "1e3", "1.5", "12abc", "0x", "0x-1", "--1", "1 000", "1_000",
                           "18446744073709551616", "-9223372036854775809", "99999999999999999999999",
                           "-99999999999999999999999", "0x10000000000000000"}) {
    expectRefused(std::string("<integer>") + text + "</integer>", std::string("integer \"") + text + "\"");
  }
}

// Reals are decimal numbers and the spellings of infinity and NaN that
// writers use; a comma, no digits or a value past a double's range refuses
// the file.
TEST(PropertyListXmlReadTest, RealsReadAsWrittenOrRefuseTheFile) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const struct {
    const char* text;
    double real;
  } reals[] = {{"1.5", 1.5},   {"-0.25", -0.25}, {".5", 0.5},      {"5.", 5.0},        {"1e3", 1000.0},
               {"1E-3", 0.001}, {" 2.5 ", 2.5},  {"007", 7.0},     {"inf", kInfinity}, {"+inf", kInfinity},
               {"-inf", -kInfinity}, {"+infinity", kInfinity}, {"-Infinity", -kInfinity}};
  for (const auto& real : reals) {
    ErrorPtr error;
    const Value value = readXml(std::string("<real>") + real.text + "</real>", &error);
    ASSERT_TRUE(value.number()) << real.text << ": " << descriptionOf(error);
    EXPECT_TRUE(value.number()->isDouble()) << real.text;
    EXPECT_EQ(value.doubleValue(), real.real) << real.text;
  }
  for (const char* text : {"nan", "NaN"}) {
    const Value value = readXml(std::string("<real>") + text + "</real>");
    ASSERT_TRUE(value.number()) << text;
    EXPECT_TRUE(std::isnan(value.doubleValue())) << text;
  }
  for (const char* text : {"1,5", "", "abc", ".", "e5", "1e", "1.5.2", "0x1p3", "nan(1)", "--1", "1e400", "-1e400"}) {
    expectRefused(std::string("<real>") + text + "</real>", std::string("real \"") + text + "\"");
  }
}

// Dates are "YYYY-MM-DDTHH:MM:SSZ" of valid calendar dates over the years 1
// to 9999, far past the 32-bit seconds around 2001; the trailing fields may be
// left out, as ISO 8601 allows.
TEST(PropertyListXmlReadTest, DatesOfTheYears1To9999ReadAsWrittenOrRefuseTheFile) {
  const struct {
    const char* text;
    double seconds;
  } dates[] = {{"0001-01-01T00:00:00Z", kYear1},
               {"0999-12-31T23:59:59Z", kYear999End},
               {"1900-01-01T00:00:00Z", kYear1900},
               {"1932-12-13T20:45:51Z", kBefore32BitSeconds},
               {"2069-01-19T03:14:08Z", kAfter32BitSeconds},
               {"2100-12-31T12:00:00Z", kYear2100Noon},
               {"9999-12-31T23:59:59Z", kYear9999End},
               {"2000-02-29T00:00:00Z", -26524800},
               {"2001-02Z", 2678400},
               {"2001Z", 0}};
  for (const auto& date : dates) {
    ErrorPtr error;
    const Value value = readXml(std::string("<date>") + date.text + "</date>", &error);
    EXPECT_EQ(value, Value(Date(date.seconds))) << date.text << ": " << descriptionOf(error);
  }
  for (const char* text : {"", "2001-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "2001-01-01T00:00:00Zjunk",
                           "2001-01-01T00:00:00", "0000-01-01T00:00:00Z", "10000-01-01T00:00:00Z",
                           "2001-13-01T00:00:00Z", "2001-04-31T00:00:00Z", "2001-01-01T24:00:00Z",
                           "2001-01-01T00:60:00Z", "2001-01-01T00:00:60Z", "2001-1-01T00:00:00Z",
                           " 2001-01-01T00:00:00Z", "2001-01-01T00:00:00.5Z", "2001-01-01 00:00:00Z"}) {
    expectRefused(std::string("<date>") + text + "</date>", std::string("date \"") + text + "\"");
  }
}

// What a file holds besides numbers and dates is read as written or refused:
// a key given twice keeps its first place and its last value, as other
// readers take it; a key without a value, a second value, text or elements
// where no value takes them, a boolean with content, data that is no base64
// and entities are refused, each named with its line.
TEST(PropertyListXmlReadTest, StructureIsReadAsWrittenOrRefused) {
  const Value twice =
      readXml("<dict><key>a</key><integer>1</integer><key>b</key><true/><key>a</key><integer>2</integer></dict>");
  EXPECT_EQ(twice, Value(Dictionary{{"a", 2}, {"b", true}}));
  EXPECT_EQ(twice.dictionary()->keys(), (std::vector<std::string>{"a", "b"}));
  // Comments and CDATA inside text, white space in data, and a value without
  // the root element, as some writers leave it.
  EXPECT_EQ(readXml("<string>a<!-- note -->b<![CDATA[<c> & d]]></string>"), Value("ab<c> & d"));
  EXPECT_EQ(readXml("<data>\n\tAAEC\n\tAw==\n</data>"), Value(Data{0, 1, 2, 3}));
  EXPECT_EQ(PropertyList::read(bytesOf("<array><false/><string/></array>")), Value(Array{Value(false), Value("")}));

  const struct {
    const char* element;
    const char* what;
  } refused[] = {
      {"<dict><key>a</key></dict>", "key \"a\" without a value"},
      {"<dict><key>a</key><key>b</key><true/></dict>", "key without a value"},
      {"<dict><integer>1</integer></dict>", "value without a key"},
      {"<key>a</key>", "key outside a dictionary"},
      {"<integer>1</integer><integer>2</integer>", "more than one value"},
      {"<array><integer>1</integer>junk</array>", "text \"junk\" outside a value"},
      {"<array><foo/></array>", "unknown element <foo>"},
      {"<array><p:array xmlns:p=\"urn:p\"/></array>", "unknown element <p:array>"},
      {"<string><b>x</b></string>", "element <b> inside a value"},
      {"<true>no</true>", "boolean content \"no\""},
      {"<data>AA*E</data>", "data \"AA*E\""},
      {"<string>&undeclared;</string>", "entity \"undeclared\""},
      {"<array><string>an unclosed string</array>", "tag mismatch"},
  };
  for (const auto& text : refused) expectRefused(text.element, text.what);
  ErrorPtr error;
  EXPECT_TRUE(PropertyList::read(bytesOf(std::string(kHead) + "</plist>"), &error).isNil());
  EXPECT_EQ(descriptionOf(error), "property list without a value at line 4");
  EXPECT_TRUE(PropertyList::read(Data{}, &error).isNil());
  EXPECT_TRUE(error && error->is(Error::kCocoaErrorDomain, PropertyList::kReadCorruptError));
}

// An entity is never declared, let alone expanded: a document that doubles
// one entity thirty times is refused at its first declaration.
TEST(PropertyListXmlReadTest, RefusesEntityDeclarations) {
  std::string text = "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [\n<!ENTITY e0 \"ha\">\n";
  for (int i = 1; i <= 30; ++i) {
    text += "<!ENTITY e" + std::to_string(i) + " \"&e" + std::to_string(i - 1) + ";&e" + std::to_string(i - 1) + ";\">\n";
  }
  text += "]>\n<plist version=\"1.0\"><string>&e30;</string></plist>\n";
  ErrorPtr error;
  EXPECT_TRUE(PropertyList::read(bytesOf(text), &error).isNil());
  EXPECT_EQ(descriptionOf(error), "declaration of entity \"e0\" at line 3");
  // A parameter entity that names a local file is not loaded either.
  const std::string external =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [<!ENTITY % local SYSTEM \"file:///etc/passwd\"> %local;]>\n"
      "<plist version=\"1.0\"><true/></plist>\n";
  EXPECT_TRUE(PropertyList::read(bytesOf(external), &error).isNil());
  EXPECT_EQ(descriptionOf(error), "declaration of entity \"local\" at line 2");
}

// Files that plistlib writes read as it wrote them: integers from -2^63 to
// 2^64-1, dates of every year, infinities and NaN; the binary form's dates
// too.
TEST(PropertyListXmlReadTest, ReadsWhatPlistlibWrites) {
  if (!Plistlib::available()) GTEST_SKIP() << "no python3 with plistlib";
  Plistlib plistlib;
  ASSERT_TRUE(plistlib.run(
      "D = datetime.datetime\n"
      "dates = [D(1, 1, 1), D(999, 12, 31, 23, 59, 59), D(1900, 1, 1), D(2100, 12, 31, 12), D(9999, 12, 31, 23, 59, 59)]\n"
      "value = {'big': 2**63, 'biggest': 2**64 - 1, 'least': -2**63, 'negative': -1, 'dates': dates,\n"
      "         'reals': [math.inf, -math.inf, math.nan, -0.0, 0.1]}\n"
      "with open(folder + '/values.xml', 'wb') as f: plistlib.dump(value, f, fmt=plistlib.FMT_XML)\n"
      "with open(folder + '/dates.plist', 'wb') as f: plistlib.dump(dates, f, fmt=plistlib.FMT_BINARY)\n"));
  const Array dates{Value(Date(kYear1)), Value(Date(kYear999End)), Value(Date(kYear1900)), Value(Date(kYear2100Noon)),
                    Value(Date(kYear9999End))};
  ErrorPtr error;
  const Value xml = PropertyList::readFile(plistlib.path("values.xml"), &error);
  ASSERT_TRUE(xml.dictionary()) << descriptionOf(error);
  const Dictionary& values = *xml.dictionary();
  EXPECT_EQ(*values.find("big"), Value(std::uint64_t{1} << 63));
  EXPECT_EQ(*values.find("biggest"), Value(std::numeric_limits<std::uint64_t>::max()));
  EXPECT_EQ(values.find("biggest")->number()->kind(), Number::Kind::UInt);
  EXPECT_EQ(*values.find("least"), Value(std::numeric_limits<std::int64_t>::min()));
  EXPECT_EQ(values.find("negative")->number()->kind(), Number::Kind::Int);
  EXPECT_EQ(*values.find("dates"), Value(dates));
  const Array& reals = *values.find("reals")->array();
  ASSERT_EQ(reals.size(), 5u);
  EXPECT_EQ(reals[0].doubleValue(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(reals[1].doubleValue(), -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(reals[2].doubleValue()));
  EXPECT_TRUE(std::signbit(reals[3].doubleValue()));
  EXPECT_EQ(reals[4].doubleValue(), 0.1);

  EXPECT_EQ(PropertyList::readFile(plistlib.path("dates.plist"), &error), Value(dates)) << descriptionOf(error);
}

// Both forms write dates of the years 1 to 9999, the XML form with four-digit
// years, and plistlib reads them as the same dates; a date outside those
// years is refused, as other readers cannot take it.
TEST(PropertyListXmlReadTest, BothFormsWriteDatesOfTheYears1To9999AsPlistlibReadsThem) {
  const Value dates(Array{Value(Date(kYear1)), Value(Date(kYear999End)), Value(Date(kYear1900)),
                          Value(Date(kBefore32BitSeconds)), Value(Date(kYear2100Noon)), Value(Date(kYear9999End))});
  Plistlib plistlib;
  for (const auto format : {PropertyListFormat::Binary, PropertyListFormat::Xml}) {
    const std::string path = plistlib.path(format == PropertyListFormat::Xml ? "ours.xml" : "ours.plist");
    ErrorPtr error;
    ASSERT_TRUE(PropertyList::writeFile(dates, path, format, &error)) << descriptionOf(error);
    EXPECT_EQ(PropertyList::readFile(path), dates);
    for (const double seconds : {kYear1 - 1, kYear1 - 0.5, kYear9999End + 1, std::nan("")}) {
      EXPECT_FALSE(PropertyList::write(Value(Array{Value(Date(seconds))}), format, &error)) << seconds;
      EXPECT_TRUE(error && error->is(Error::kCocoaErrorDomain, PropertyList::kWriteInvalidError)) << seconds;
    }
  }
  // The binary form keeps the fraction of the last second.
  const auto binary = PropertyList::write(Value(Date(kYear9999End + 0.5)), PropertyListFormat::Binary);
  ASSERT_TRUE(binary);
  EXPECT_EQ(PropertyList::read(*binary), Value(Date(kYear9999End + 0.5)));
  if (!Plistlib::available()) GTEST_SKIP() << "no python3 with plistlib";
  const auto printed = plistlib.run(
      "for name in ('ours.plist', 'ours.xml'):\n"
      "    with open(folder + '/' + name, 'rb') as f: print(' '.join(d.isoformat() for d in plistlib.load(f)))\n");
  ASSERT_TRUE(printed);
  const std::string expected =
      "0001-01-01T00:00:00 0999-12-31T23:59:59 1900-01-01T00:00:00 1932-12-13T20:45:51 2100-12-31T12:00:00 "
      "9999-12-31T23:59:59\n";
  EXPECT_EQ(*printed, expected + expected);
}

// A keyed archive in the XML form is read by the same reader: its numbers are
// read as written.
TEST(PropertyListXmlReadTest, KeyedArchivesInXmlReadTheirNumbersAsWritten) {
  const auto archive = [](std::string_view number) {
    return bytesOf(std::string(kHead) +
                   "<dict><key>$archiver</key><string>NSKeyedArchiver</string>"
                   "<key>$version</key><integer>100000</integer>"
                   "<key>$top</key><dict><key>root</key><dict><key>CF$UID</key><integer>1</integer></dict></dict>"
                   "<key>$objects</key><array><string>$null</string>"
                   "<dict><key>NS.keys</key><array><dict><key>CF$UID</key><integer>2</integer></dict></array>"
                   "<key>NS.objects</key><array><dict><key>CF$UID</key><integer>3</integer></dict></array>"
                   "<key>$class</key><dict><key>CF$UID</key><integer>4</integer></dict></dict>"
                   "<string>k</string>" + std::string(number) +
                   "<dict><key>$classname</key><string>NSDictionary</string></dict>"
                   "</array></dict></plist>");
  };
  ErrorPtr error;
  EXPECT_EQ(KeyedUnarchiver::unarchivedObject(archive("<integer>010</integer>"), {}, &error),
            Value(Dictionary{{"k", 10}}))
      << descriptionOf(error);
  // The tree of the archive keeps an integer above INT64_MAX apart from a
  // negative one of the same 64 bits.
  const Value uint64Max = KeyedUnarchiver::unarchivedObject(archive("<integer>18446744073709551615</integer>"), {}, &error);
  ASSERT_TRUE(uint64Max.dictionary()) << descriptionOf(error);
  const Number* above = uint64Max.dictionary()->find("k") ? uint64Max.dictionary()->find("k")->number() : nullptr;
  ASSERT_TRUE(above);
  EXPECT_EQ(above->kind(), Number::Kind::UInt);
  EXPECT_EQ(above->unsignedValue(), UINT64_MAX);
  EXPECT_EQ(KeyedUnarchiver::unarchivedObject(archive("<integer>-1</integer>"), {}, &error),
            Value(Dictionary{{"k", -1}}))
      << descriptionOf(error);
  EXPECT_TRUE(KeyedUnarchiver::unarchivedObject(archive("<integer>1e3</integer>"), {}, &error).isNil());
  ASSERT_TRUE(error && error->underlyingError());
  EXPECT_NE(descriptionOf(error->underlyingError()).find("integer \"1e3\""), std::string::npos);
}
