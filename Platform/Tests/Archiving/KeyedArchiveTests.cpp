#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Values/Dictionary.h"
#include "Archiving/KeyedArchiver.h"
#include "Archiving/KeyedUnarchiver.h"
#include "Archiving/PropertyList.h"

using namespace platform;

namespace {

// A class of ours: a label and a payload, archived as "Tray" under NSObject.
class Tray : public Object, public KeyedCoding {
 public:
  Tray(Value label, Value payload) : label_(std::move(label)), payload_(std::move(payload)) {}
  std::vector<std::string> archivedClassNames() const override { return {"Tray", "NSObject"}; }
  void encodeWithCoder(KeyedArchiver& archiver) const override {
    archiver.encodeObject(label_, "label");
    archiver.encodeObject(payload_, "payload");
  }
  const Value& label() const { return label_; }
  const Value& payload() const { return payload_; }
  void setPayload(Value payload) { payload_ = std::move(payload); }

  static KeyedUnarchiver::DecodableClass decodable() {
    return {"Tray", [](KeyedUnarchiver& coder) -> ObjectPtr {
              return std::make_shared<Tray>(coder.decodeObject("label"), coder.decodeObject("payload"));
            }};
  }

 private:
  Value label_;
  Value payload_;
};

class Unarchivable : public Object {};

class Throwing : public Object, public KeyedCoding {
 public:
  std::vector<std::string> archivedClassNames() const override { return {"Throwing", "NSObject"}; }
  void encodeWithCoder(KeyedArchiver&) const override { throw std::runtime_error("no"); }
};

Value unarchive(const Data& data, ErrorPtr* error = nullptr) {
  const KeyedUnarchiver::DecodableClass classes[] = {Tray::decodable()};
  return KeyedUnarchiver::unarchivedObject(data, classes, error);
}

Value everyKind() {
  return Value(Dictionary{{"text", "caf\xC3\xA9"},
                          {"yes", true},
                          {"int", -7},
                          {"real", 2.5},
                          {"bytes", Data{1, 2, 3}},
                          {"url", *Url::fromString("https://example.com/a?b=c")},
                          {"date", Date(12.25)},
                          {"null", Value::null()},
                          {"list", Array{Value("x"), Value(1), Value(Dictionary{})}},
                          {"empty", Dictionary{}}});
}

// The archive as a plain property list (UIDs read as {"CF$UID": n}).
Dictionary layoutOf(const Data& archive) { return *PropertyList::read(archive).dictionary(); }

// A hand-made archive whose "$objects" are given as values; UIDs are written
// {"CF$UID": n}, as text property lists spell them.
Data archiveWith(Array objects, std::int64_t root = 1) {
  Dictionary archive{{"$archiver", "NSKeyedArchiver"},
                     {"$version", 100000},
                     {"$top", Dictionary{{"root", Dictionary{{"CF$UID", root}}}}},
                     {"$objects", std::move(objects)}};
  return *PropertyList::write(Value(std::move(archive)), PropertyListFormat::Xml);
}

Value uid(std::int64_t n) { return Value(Dictionary{{"CF$UID", n}}); }

// Arrays `levels` deep, each holding the next one twice, the last one `leaf`
// twice: a few hundred bytes that expand to 2^levels leaves.
Data sharedReferenceArchive(std::int64_t levels, const Value& leaf) {
  Array objects{Value("$null")};
  for (std::int64_t i = 1; i <= levels; ++i) {
    objects.push_back(Value(Dictionary{{"NS.objects", Array{uid(i + 1), uid(i + 1)}}, {"$class", uid(levels + 2)}}));
  }
  objects.push_back(leaf);
  objects.push_back(Value(Dictionary{{"$classname", "NSArray"}, {"$classes", Array{Value("NSArray")}}}));
  return archiveWith(std::move(objects));
}

}  // namespace

TEST(KeyedArchiveTest, RoundTripsValuesAndKeepsNumberKinds) {
  ErrorPtr error;
  const auto data = KeyedArchiver::archivedData(everyKind(), &error);
  ASSERT_TRUE(data) << error->description();
  const Value back = unarchive(*data, &error);
  ASSERT_FALSE(back.isNil()) << error->description();
  EXPECT_EQ(back, everyKind());
  const Dictionary& d = *back.dictionary();
  EXPECT_TRUE(d.find("yes")->number()->isBool());
  EXPECT_EQ(d.find("int")->number()->kind(), Number::Kind::Int);
  EXPECT_TRUE(d.find("real")->number()->isDouble());

  for (const Value& root : {Value("just text"), Value(), Value(Array{})}) {
    EXPECT_EQ(unarchive(*KeyedArchiver::archivedData(root)), root) << root.description();
  }
}

TEST(KeyedArchiveTest, WritesTheStandardLayout) {
  auto tray = std::make_shared<Tray>(Value("A4"), Value(Dictionary{{"sheets", 250}}));
  const auto data = KeyedArchiver::archivedData(Value(tray));
  ASSERT_TRUE(data);
  ASSERT_GE(data->size(), 8u);
  EXPECT_EQ(std::string(data->begin(), data->begin() + 8), "bplist00");

  const Dictionary layout = layoutOf(*data);
  EXPECT_EQ(layout.objectForKey("$archiver"), Value("NSKeyedArchiver"));
  EXPECT_EQ(layout.objectForKey("$version"), Value(100000));
  EXPECT_EQ(layout.objectForKey("$top"), Value(Dictionary{{"root", uid(1)}}));
  const Array& objects = *layout.objectForKey("$objects").array();
  EXPECT_EQ(objects[0], Value("$null"));
  const Dictionary& root = *objects[1].dictionary();
  EXPECT_EQ(root.keys(), (std::vector<std::string>{"label", "payload", "$class"}));
  const auto at = [&](const Value& reference) {
    return objects[static_cast<std::size_t>(reference.dictionary()->objectForKey("CF$UID").integerValue())];
  };
  EXPECT_EQ(at(root.objectForKey("$class")),
            Value(Dictionary{{"$classes", Array{Value("Tray"), Value("NSObject")}}, {"$classname", "Tray"}}));
  EXPECT_EQ(at(root.objectForKey("label")), Value("A4"));
  const Dictionary& payload = *at(root.objectForKey("payload")).dictionary();
  EXPECT_EQ(at(payload.objectForKey("NS.keys").array()->at(0)), Value("sheets"));
  EXPECT_EQ(at(payload.objectForKey("NS.objects").array()->at(0)), Value(250));
  EXPECT_EQ(at(payload.objectForKey("$class")).dictionary()->objectForKey("$classname"), Value("NSDictionary"));
}

TEST(KeyedArchiveTest, ArchivesSharedObjectsOnceAndDecodesThemShared) {
  auto shared = std::make_shared<Tray>(Value("shared"), Value());
  auto outer = std::make_shared<Tray>(Value(Array{Value(shared), Value(shared)}), Value(Array{Value("A"), Value("A")}));
  const auto data = KeyedArchiver::archivedData(Value(outer));
  ASSERT_TRUE(data);
  // One record per class, one per distinct string.
  int trays = 0, classRecords = 0, strings = 0;
  const Value objects = layoutOf(*data).objectForKey("$objects");
  for (const Value& object : *objects.array()) {
    if (auto d = object.dictionary()) {
      trays += d->contains("label");
      classRecords += d->contains("$classname");
    }
    strings += object == Value("A");
  }
  EXPECT_EQ(trays, 2);
  EXPECT_EQ(classRecords, 2);  // Tray, NSArray
  EXPECT_EQ(strings, 1);

  const auto back = unarchive(*data).objectAs<Tray>();
  ASSERT_TRUE(back);
  const Array& both = *back->label().array();
  EXPECT_EQ(both[0].object(), both[1].object());
  EXPECT_EQ(both[0].objectAs<Tray>()->label(), Value("shared"));
}

// How many records of "$objects" are of class `className`.
int recordsOfClass(const Data& archive, const std::string& className) {
  const Value layout = layoutOf(archive).objectForKey("$objects");
  const Array& objects = *layout.array();
  int count = 0;
  for (const Value& object : objects) {
    const Dictionary* record = object.dictionary();
    if (!record || !record->contains("$class")) continue;
    const auto classUid = record->objectForKey("$class").dictionary()->objectForKey("CF$UID").integerValue();
    count += objects[static_cast<std::size_t>(classUid)].dictionary()->objectForKey("$classname") == Value(className);
  }
  return count;
}

TEST(KeyedArchiveTest, ArchivesASharedValueOnceAndEqualValuesApart) {
  const Value list(Array{Value("x"), Value(1)});
  const Value table(Dictionary{{"k", 2}});
  const Value bytes(Data{1, 2, 3});
  const Value link(*Url::fromString("https://example.com/a"));
  const Value root(Array{list, list, table, table, bytes, bytes, link, link, Value(Array{Value("x"), Value(1)})});
  const auto data = KeyedArchiver::archivedData(root);
  ASSERT_TRUE(data);
  EXPECT_EQ(recordsOfClass(*data, "NSArray"), 3);  // the root, the shared list, its equal copy
  EXPECT_EQ(recordsOfClass(*data, "NSDictionary"), 1);
  EXPECT_EQ(recordsOfClass(*data, "NSURL"), 1);
  int dataObjects = 0;
  const Value objects = layoutOf(*data).objectForKey("$objects");
  for (const Value& object : *objects.array()) dataObjects += object == bytes;
  EXPECT_EQ(dataObjects, 1);

  const Value back = unarchive(*data);
  EXPECT_EQ(back, root);
  const Array& items = *back.array();
  EXPECT_EQ(items[0].array(), items[1].array());
  EXPECT_EQ(items[2].dictionary(), items[3].dictionary());
  EXPECT_NE(items[0].array(), items[8].array());
}

// A hostile archive of about 1.4 KiB: a dictionary holding two arrays of one
// chain in which every array holds the next one twice, 18 levels deep. It
// decodes to about 786,000 values when every use is counted, under the
// unarchiver's bound, and must archive again at the size it came in.
TEST(KeyedArchiveTest, ArchivesWhatItDecodesAtTheSizeItCameIn) {
  const auto chain = [](std::int64_t levels) {
    // $null, the dictionary, its two keys, the arrays, the leaf, two classes.
    const std::int64_t leaf = 4 + levels, arrayClass = leaf + 1, dictionaryClass = leaf + 2;
    Array objects{Value("$null"),
                  Value(Dictionary{{"NS.keys", Array{uid(2), uid(3)}},
                                   {"NS.objects", Array{uid(4), uid(5)}},
                                   {"$class", uid(dictionaryClass)}}),
                  Value("a"), Value("b")};
    for (std::int64_t i = 4; i < leaf; ++i) {
      objects.push_back(Value(Dictionary{{"NS.objects", Array{uid(i + 1), uid(i + 1)}}, {"$class", uid(arrayClass)}}));
    }
    objects.push_back(Value("leaf"));
    objects.push_back(Value(Dictionary{{"$classname", "NSArray"}, {"$classes", Array{Value("NSArray")}}}));
    objects.push_back(Value(Dictionary{{"$classname", "NSDictionary"}, {"$classes", Array{Value("NSDictionary")}}}));
    return archiveWith(std::move(objects));
  };
  // A short chain first: without sharing, the long one would take minutes.
  for (const std::int64_t levels : {8, 18}) {
    ErrorPtr error;
    const Value decoded = unarchive(chain(levels), &error);
    ASSERT_TRUE(decoded.dictionary()) << error->description();
    const auto again = KeyedArchiver::archivedData(decoded, &error);
    ASSERT_TRUE(again) << error->description();
    EXPECT_EQ(recordsOfClass(*again, "NSArray"), levels);
    ASSERT_LT(again->size(), 2048u);
    const Value back = unarchive(*again);
    const Array& first = *back.dictionary()->objectForKey("a").array();
    EXPECT_EQ(first[0].array(), first[1].array());
    EXPECT_EQ(back, decoded) << levels;
  }
}

TEST(KeyedArchiveTest, RefusesWhatCannotBeArchived) {
  auto cyclic = std::make_shared<Tray>(Value("loop"), Value());
  cyclic->setPayload(Value(Array{Value(cyclic)}));
  Value deep("bottom");
  for (std::size_t i = 0; i < kKeyedArchiveMaxDepth + 1; ++i) deep = Value(Array{deep});
  const Value refused[] = {Value(std::make_shared<Unarchivable>()),
                           Value(cyclic),
                           deep,
                           Value(Dictionary{{"bad", "\xC3"}}),
                           Value(std::make_shared<Throwing>())};
  for (const Value& value : refused) {
    ErrorPtr error;
    EXPECT_FALSE(KeyedArchiver::archivedData(value, &error));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(Error::kCocoaErrorDomain, KeyedArchiver::kCoderInvalidValueError));
  }
  cyclic->setPayload(Value());  // break the cycle so the test does not leak
}

TEST(KeyedArchiveTest, ReadsArchivesInTextForm) {
  const Data data = archiveWith({Value("$null"),
                                 Value(Dictionary{{"NS.keys", Array{uid(2)}}, {"NS.objects", Array{uid(3)}}, {"$class", uid(4)}}),
                                 Value("k"),
                                 Value(-5),
                                 Value(Dictionary{{"$classname", "NSMutableDictionary"},
                                                  {"$classes", Array{Value("NSMutableDictionary"), Value("NSDictionary"), Value("NSObject")}}})});
  ErrorPtr error;
  EXPECT_EQ(unarchive(data, &error), Value(Dictionary{{"k", -5}})) << (error ? error->description() : "");
}

TEST(KeyedArchiveTest, RefusesDamagedOrForeignArchives) {
  const Value trayClass(Dictionary{{"$classname", "Tray"}, {"$classes", Array{Value("Tray"), Value("NSObject")}}});
  const Value setClass(Dictionary{{"$classname", "NSSet"}, {"$classes", Array{Value("NSSet"), Value("NSObject")}}});
  const Value arrayClass(Dictionary{{"$classname", "NSArray"}});
  const struct {
    const char* what;
    Data data;
  } cases[] = {
      {"no property list", Data{1, 2, 3}},
      {"plain property list", *PropertyList::write(Value(Dictionary{{"a", 1}}), PropertyListFormat::Binary)},
      {"root out of range", archiveWith({Value("$null")}, 9)},
      {"no $null", archiveWith({Value("x"), Value("y")})},
      {"class not allowed", archiveWith({Value("$null"), Value(Dictionary{{"NS.objects", Array{}}, {"$class", uid(2)}}), setClass})},
      {"reference out of range", archiveWith({Value("$null"), Value(Dictionary{{"NS.objects", Array{uid(7)}}, {"$class", uid(2)}}), arrayClass})},
      {"array inside itself", archiveWith({Value("$null"), Value(Dictionary{{"NS.objects", Array{uid(1)}}, {"$class", uid(2)}}), arrayClass})},
      {"object inside itself", archiveWith({Value("$null"), Value(Dictionary{{"label", uid(1)}, {"$class", uid(2)}}), trayClass})},
      {"nil in an array", archiveWith({Value("$null"), Value(Dictionary{{"NS.objects", Array{uid(0)}}, {"$class", uid(2)}}), arrayClass})},
      {"record without class", archiveWith({Value("$null"), Value(Dictionary{{"label", uid(0)}})})},
      {"class record is a string", archiveWith({Value("$null"), Value(Dictionary{{"$class", uid(0)}})})},
      {"date as root", archiveWith({Value("$null"), Value(Date(1))})},
  };
  for (const auto& c : cases) {
    ErrorPtr error;
    EXPECT_TRUE(unarchive(c.data, &error).isNil()) << c.what;
    ASSERT_TRUE(error) << c.what;
    EXPECT_TRUE(error->is(Error::kCocoaErrorDomain, KeyedUnarchiver::kCoderReadCorruptError)) << c.what;
  }

  // A chain of arrays deeper than the limit.
  Array objects{Value("$null")};
  const std::int64_t levels = static_cast<std::int64_t>(kKeyedArchiveMaxDepth) + 5;
  for (std::int64_t i = 1; i <= levels; ++i) {
    objects.push_back(Value(Dictionary{{"NS.objects", i < levels ? Array{uid(i + 1)} : Array{}}, {"$class", uid(levels + 1)}}));
  }
  objects.push_back(arrayClass);
  EXPECT_TRUE(unarchive(archiveWith(objects)).isNil());
}

// An object referred to many times is decoded once and every reference
// shares it: a chain of arrays as deep as an archive nests, each holding the
// next twice, and one that shares a long text, read back, archived again with
// one array per level and compared.
TEST(KeyedArchiveTest, DecodesASharedObjectOnceHoweverOftenItIsReferredTo) {
  const std::int64_t deepest = static_cast<std::int64_t>(kKeyedArchiveMaxDepth) - 1;
  for (const auto& [levels, leaf] : {std::pair{deepest, Value("leaf")}, std::pair{std::int64_t{12}, Value(std::string(20000, 'x'))}}) {
    const Data data = sharedReferenceArchive(levels, leaf);
    ErrorPtr error;
    const Value decoded = unarchive(data, &error);
    ASSERT_TRUE(decoded.array()) << levels << ": " << error->description();
    EXPECT_EQ(decoded.array()->at(0).sharedStorage(), decoded.array()->at(1).sharedStorage());
    const auto again = KeyedArchiver::archivedData(decoded, &error);
    ASSERT_TRUE(again) << error->description();
    EXPECT_EQ(recordsOfClass(*again, "NSArray"), levels);
    EXPECT_LT(again->size(), data.size() + 4096);
    EXPECT_EQ(unarchive(*again), decoded);
  }
}

// A decoded value that shares its arrays, written as a property list: as
// long as its expanded tree stays within what a reader takes (2^20 nodes) it
// is written, the binary form holding each shared array once, and reads back;
// past that it is refused, however far past (64 levels would never end if
// walked path by path).
TEST(KeyedArchiveTest, WritesASharedValueAsAPropertyListOnlyWithinTheReadersBound) {
  const Value widest = unarchive(sharedReferenceArchive(19, Value("leaf")));  // 2^20 - 1 nodes
  ASSERT_TRUE(widest.array());
  const auto compact = PropertyList::write(widest, PropertyListFormat::Binary);
  ASSERT_TRUE(compact);
  EXPECT_LT(compact->size(), 512u);

  for (const std::int64_t levels : {20, 64}) {
    const Value decoded = unarchive(sharedReferenceArchive(levels, Value("leaf")));
    ASSERT_TRUE(decoded.array()) << levels;
    for (const auto format : {PropertyListFormat::Xml, PropertyListFormat::Binary}) {
      ErrorPtr error;
      EXPECT_FALSE(PropertyList::write(decoded, format, &error)) << levels;
      ASSERT_TRUE(error) << levels;
      EXPECT_TRUE(error->is(Error::kCocoaErrorDomain, PropertyList::kWriteInvalidError));
    }
  }

  const Value decoded = unarchive(sharedReferenceArchive(12, Value("leaf")));
  for (const auto format : {PropertyListFormat::Xml, PropertyListFormat::Binary}) {
    const auto bytes = PropertyList::write(decoded, format);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(PropertyList::read(*bytes), decoded);
  }
}

TEST(KeyedArchiveTest, ContainsExceptionsOfDecodeFunctions) {
  const KeyedUnarchiver::DecodableClass throwing[] = {
      {"Tray", [](KeyedUnarchiver&) -> ObjectPtr { throw std::runtime_error("bad tray"); }}};
  const auto data = KeyedArchiver::archivedData(Value(std::make_shared<Tray>(Value("A5"), Value())));
  ErrorPtr error;
  EXPECT_TRUE(KeyedUnarchiver::unarchivedObject(*data, throwing, &error).isNil());
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->is(Error::kCocoaErrorDomain, KeyedUnarchiver::kCoderReadCorruptError));
}

// An archive is written only when the unarchiver would read it: one byte
// past the size it takes, the archiver refuses, so that a store never keeps
// a value it cannot give back.
TEST(KeyedArchiveTest, WritesNoArchiveThatItsReaderWouldRefuse) {
  const Value fits(Data(KeyedUnarchiver::kMaxBytes - 1024, 0x5A));
  const auto archive = KeyedArchiver::archivedData(fits);
  ASSERT_TRUE(archive);
  EXPECT_EQ(unarchive(*archive), fits);

  ErrorPtr error;
  EXPECT_FALSE(KeyedArchiver::archivedData(Value(Data(KeyedUnarchiver::kMaxBytes, 0x5A)), &error));
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->is(Error::kCocoaErrorDomain, KeyedArchiver::kCoderInvalidValueError));

  // The node bound: an array of N distinct numbers is 2N + 24 nodes once its
  // references are written out (N numbers in "$objects" and N references to
  // them), as the reader counts them.
  const auto numbers = [](std::size_t count) {
    Array items;
    items.reserve(count);
    for (std::size_t i = 0; i < count; ++i) items.emplace_back(static_cast<std::int64_t>(i));
    return Value(std::move(items));
  };
  const std::size_t most = (KeyedUnarchiver::kLimits.maxNodes - 24) / 2;
  const Value atTheBound = numbers(most);
  const auto largest = KeyedArchiver::archivedData(atTheBound);
  ASSERT_TRUE(largest);
  EXPECT_EQ(unarchive(*largest), atTheBound);
  error = nullptr;
  EXPECT_FALSE(KeyedArchiver::archivedData(numbers(most + 1), &error));
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->is(Error::kCocoaErrorDomain, KeyedArchiver::kCoderInvalidValueError));
}

// The archiver counts every level that the unarchiver counts: a record and
// each string, number or data it refers to, a dictionary's keys among them,
// and a shared value at each place it sits (a decode function may meet the
// deeper place first). At the bound an archive is written and reads back (an
// unsigned integer past INT64_MAX as itself); one level more is refused.
TEST(KeyedArchiveTest, WritesAtTheDepthBoundOfItsReaderAndRefusesOnePast) {
  const KeyedUnarchiver::DecodableClass payloadFirst[] = {{"Tray", [](KeyedUnarchiver& coder) -> ObjectPtr {
                                                             Value payload = coder.decodeObject("payload");
                                                             return std::make_shared<Tray>(coder.decodeObject("label"), payload);
                                                           }}};
  const auto inArrays = [](Value value, std::size_t arrays) {
    while (arrays-- > 0) value = Value(Array{value});
    return value;
  };
  const auto around = [&](const Value& leaf) { return [=](std::size_t n) { return inArrays(leaf, n); }; };
  const std::size_t most = kKeyedArchiveMaxDepth;
  const Value shared = inArrays(Value("leaf"), 10);
  // How a value grows by a level with n, and the largest n within the bound.
  const std::pair<std::function<Value(std::size_t)>, std::size_t> values[] = {
      {around(Value("leaf")), most - 1},
      {around(Value(7)), most - 1},
      {around(Value(std::numeric_limits<std::uint64_t>::max())), most - 1},
      {around(Value(Data{1, 2})), most - 1},
      {around(Value(Date(1.5))), most - 1},
      {around(Value::null()), most - 1},
      {around(Value(Dictionary{})), most - 1},
      {around(Value(Dictionary{{"k", 7}})), most - 2},
      {around(Value(*Url::fromString("https://example.com/"))), most - 2},
      // The key's text is the leaf's too, which the unarchiver meets first.
      {[&](std::size_t n) { return Value(Dictionary{{"k", inArrays(Value("k"), n)}}); }, most - 2},
      // The tray's label, then below its payload's arrays.
      {[&](std::size_t n) { return Value(std::make_shared<Tray>(shared, inArrays(shared, n))); }, most - 12},
  };
  for (const auto& [grow, bound] : values) {
    ErrorPtr error;
    const auto archive = KeyedArchiver::archivedData(grow(bound), &error);
    ASSERT_TRUE(archive) << bound << ": " << error->description();
    const Value back = KeyedUnarchiver::unarchivedObject(*archive, payloadFirst, &error);
    ASSERT_FALSE(back.isNil()) << bound << ": " << error->description();
    // Archived again as it was: the same value, shared as it was.
    EXPECT_EQ(KeyedArchiver::archivedData(back), archive) << back.description();
    EXPECT_FALSE(KeyedArchiver::archivedData(grow(bound + 1), &error)) << back.description();
    EXPECT_TRUE(error && error->is(Error::kCocoaErrorDomain, KeyedArchiver::kCoderInvalidValueError));
  }
}
