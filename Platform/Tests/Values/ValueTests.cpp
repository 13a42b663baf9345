#include <gtest/gtest.h>

#include <glib.h>

#include <cmath>
#include <limits>
#include <unordered_set>

#include "Values/Dictionary.h"
#include "Errors/Error.h"
#include "Text/Format.h"
#include "Indexes/IndexSet.h"
#include "Values/Value.h"

using namespace platform;

namespace {

class Thing : public Object {
 public:
  explicit Thing(int id) : id_(id) {}
  bool isEqual(const Object& other) const override {
    auto thing = dynamic_cast<const Thing*>(&other);
    return thing && thing->id_ == id_;
  }
  std::size_t hash() const override { return static_cast<std::size_t>(id_); }
  std::string description() const override { return "Thing#" + std::to_string(id_); }

 private:
  int id_;
};

}  // namespace

TEST(NumberTest, ComparesAcrossKindsByValue) {
  EXPECT_EQ(Value(true), Value(1));
  EXPECT_EQ(Value(1), Value(1.0));
  EXPECT_EQ(Value(1u), Value(true));
  EXPECT_EQ(Value(120), Value(120.0));
  EXPECT_NE(Value(1), Value(1.5));
  EXPECT_NE(Value(-1), Value(std::numeric_limits<std::uint64_t>::max()));
  // Large integers are compared exactly, not through a lossy double.
  EXPECT_NE(Value(std::int64_t{9007199254740993}), Value(9007199254740992.0));
  EXPECT_EQ(Value(std::int64_t{9007199254740992}), Value(9007199254740992.0));
  EXPECT_LT(Number(-2).compare(Number(-1.5)), 0);
  EXPECT_GT(Number(std::numeric_limits<std::uint64_t>::max()).compare(Number(std::numeric_limits<std::int64_t>::max())), 0);
}

TEST(NumberTest, EqualNumbersHashAlike) {
  EXPECT_EQ(Value(true).hash(), Value(1.0).hash());
  EXPECT_EQ(Value(60).hash(), Value(60.0).hash());
  EXPECT_EQ(Value(7u).hash(), Value(std::int64_t{7}).hash());
  std::unordered_set<Value> set{Value(1), Value(1.0), Value(true)};
  EXPECT_EQ(set.size(), 1u);
}

TEST(NumberTest, KeepsItsKindAndSaturates) {
  EXPECT_EQ(Number(true).kind(), Number::Kind::Bool);
  EXPECT_EQ(Number(-3).kind(), Number::Kind::Int);
  EXPECT_EQ(Number(3u).kind(), Number::Kind::UInt);
  EXPECT_EQ(Number(0.5).kind(), Number::Kind::Double);
  EXPECT_EQ(Number(1e300).integerValue(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(Number(std::nan("")).integerValue(), 0);
  EXPECT_EQ(Number(std::numeric_limits<std::uint64_t>::max()).integerValue(), std::numeric_limits<std::int64_t>::max());
}

TEST(NumberTest, DescribesAsThePlatformDoes) {
  EXPECT_EQ(Number(true).description(), "1");
  EXPECT_EQ(Number(120.0).description(), "120");
  EXPECT_EQ(Number(0.1).description(), "0.1");
  EXPECT_EQ(Number(std::numeric_limits<std::uint64_t>::max()).description(), "18446744073709551615");
}

TEST(ValueTest, StringConversionsFollowThePlatformRules) {
  EXPECT_TRUE(Value("  +007yes").boolValue());
  EXPECT_TRUE(Value("YES").boolValue());
  EXPECT_TRUE(Value("true").boolValue());
  EXPECT_FALSE(Value("no").boolValue());
  EXPECT_FALSE(Value("000").boolValue());
  EXPECT_FALSE(Value("").boolValue());
  EXPECT_EQ(Value("  -42abc").integerValue(), -42);
  EXPECT_EQ(Value("99999999999999999999").integerValue(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(Value("-9223372036854775808").integerValue(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(Value("x1").integerValue(), 0);
  EXPECT_DOUBLE_EQ(Value(" 2.5e1xyz").doubleValue(), 25.0);
  EXPECT_DOUBLE_EQ(Value("1.5e").doubleValue(), 1.5);
  EXPECT_DOUBLE_EQ(Value(".5").doubleValue(), 0.5);
  EXPECT_EQ(Value("-").doubleValue(), 0.0);
  EXPECT_EQ(Value(Array{}).integerValue(), 0);
}

TEST(ValueTest, HexScanSkipsBlanksTakesAPrefixAndSaturates) {
  EXPECT_EQ(stringHexIntValue(" \t1a;ext"), 0x1Au);
  EXPECT_EQ(stringHexIntValue("0x7F\r\n"), 0x7Fu);
  EXPECT_EQ(stringHexIntValue("0xg"), 0u);
  EXPECT_EQ(stringHexIntValue("123456789abc"), 0xFFFFFFFFu);
  EXPECT_EQ(stringHexIntValue("; 5"), std::nullopt);
  EXPECT_EQ(stringHexIntValue(""), std::nullopt);
  EXPECT_EQ(stringHexLongLongValue("123456789abc"), 0x123456789abcu);
  EXPECT_EQ(stringHexLongLongValue("1ffffffffffffffff"), 0xFFFFFFFFFFFFFFFFu);
}

TEST(ValueTest, NilNullAndEmptyAreDistinct) {
  EXPECT_TRUE(Value().isNil());
  EXPECT_TRUE(Value(nullptr).isNil());
  EXPECT_TRUE(Value(static_cast<const char*>(nullptr)).isNil());
  EXPECT_TRUE(Value(ObjectPtr()).isNil());
  EXPECT_NE(Value(), Value::null());
  EXPECT_NE(Value(""), Value());
  EXPECT_NE(Value(Dictionary{}), Value());
  EXPECT_NE(Value(0), Value("0"));
}

TEST(ValueTest, ObjectsCompareThroughIsEqual) {
  auto a = std::make_shared<Thing>(1);
  auto b = std::make_shared<Thing>(1);
  auto c = std::make_shared<Thing>(2);
  EXPECT_EQ(Value(a), Value(b));
  EXPECT_NE(Value(a), Value(c));
  EXPECT_EQ(Value(a).objectAs<Thing>(), a);
  EXPECT_EQ(Value(a).description(), "Thing#1");
}

// Trees that hold one collection at many places, built apart so that no
// storage is shared between them: 64 levels of arrays, dictionaries and
// objects each holding the next twice have 2^64 paths, and are compared
// once per pair of collections.
TEST(ValueTest, ComparesSharedCollectionsOncePerPair) {
  // An object whose equality is that of the value it holds.
  struct Box : Object {
    explicit Box(Value held) : content(std::move(held)) {}
    bool isEqual(const Object& other) const override {
      auto box = dynamic_cast<const Box*>(&other);
      return box && box->content == content;
    }
    Value content;
  };
  const auto chain = [](const Value& leaf) {
    Value node = leaf;
    for (int level = 0; level < 64; ++level) {
      switch (level % 3) {
        case 0: node = Value(Array{node, node}); break;
        case 1: node = Value(Dictionary{{"a", node}, {"b", node}}); break;
        default: node = Value(std::make_shared<Box>(Value(Array{node, node}))); break;
      }
    }
    return node;
  };
  EXPECT_EQ(chain(Value("leaf")), chain(Value("leaf")));
  EXPECT_NE(chain(Value("leaf")), chain(Value("lead")));
  // A tree and a copy that shares its storage are equal at once.
  const Value tree = chain(Value(1));
  EXPECT_EQ(Value(Array{tree}), Value(Array{tree}));
}

// An object whose isEqual compares values it builds for the comparison and
// frees after it: the next ones may take the same addresses, and what one
// comparison remembers must not answer for them.
TEST(ValueTest, ValuesBuiltDuringAComparisonAreNotTakenForEarlierOnes) {
  struct Computed : Object {
    explicit Computed(int n) : n(n) {}
    bool isEqual(const Object& other) const override {
      auto computed = dynamic_cast<const Computed*>(&other);
      return computed && Value(Dictionary{{"n", n}}) == Value(Dictionary{{"n", computed->n}});
    }
    int n;
  };
  const auto c = [](int n) { return Value(std::make_shared<Computed>(n)); };
  EXPECT_NE(Value(Array{c(1), c(2)}), Value(Array{c(1), c(3)}));
  EXPECT_NE(Value(Dictionary{{"a", c(1)}, {"b", c(2)}}), Value(Dictionary{{"a", c(1)}, {"b", c(3)}}));
  EXPECT_EQ(Value(Array{c(1), c(2)}), Value(Array{c(1), c(2)}));
}

TEST(DictionaryTest, KeepsInsertionOrderAndRemovesOnNil) {
  Dictionary d{{"b", 1}, {"a", 2}, {"c", 3}};
  d.set("a", 20);  // keeps its place
  d.set("d", 4);
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"b", "a", "c", "d"}));
  EXPECT_EQ(d.objectForKey("a"), Value(20));
  d.set("b", Value());
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "c", "d"}));
  EXPECT_TRUE(d.objectForKey("missing").isNil());
}

TEST(DictionaryTest, LargeDictionariesStayConsistentAcrossRemovals) {
  Dictionary d;
  for (int i = 0; i < 100; ++i) d.set("k" + std::to_string(i), i);
  // Setting a key it holds keeps the key's place.
  d.set("k50", "fifty");
  EXPECT_EQ(d.count(), 100u);
  EXPECT_EQ(d.keys()[50], "k50");
  d.set("k50", 50);
  for (int i = 0; i < 100; i += 3) EXPECT_TRUE(d.remove("k" + std::to_string(i)));
  EXPECT_EQ(d.count(), 66u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(d.contains("k" + std::to_string(i)), i % 3 != 0) << i;
    if (i % 3) {
      EXPECT_EQ(d.objectForKey("k" + std::to_string(i)), Value(i));
    }
  }
  d.set("k0", 0);
  EXPECT_EQ(d.keys().back(), "k0");
}

TEST(DictionaryTest, BuiltAtOnceItHoldsWhatSettingOneAfterAnotherLeaves) {
  // Around the size from which a dictionary keeps an index, and far past it;
  // one key in three given again, and every seventh entry nil.
  for (const int size : {0, 5, 16, 17, 18, 40, 5000}) {
    std::vector<Dictionary::Entry> entries;
    Dictionary set;
    for (int i = 0; i < size; ++i) {
      const std::string key = "k" + std::to_string(i % 3 == 2 ? i / 2 : i);
      if (i % 7 == 6) {
        entries.emplace_back(key, Value());
        continue;
      }
      entries.emplace_back(key, i);
      set.set(key, i);
    }
    const Dictionary built(std::move(entries));
    EXPECT_EQ(built.keys(), set.keys()) << size;
    EXPECT_EQ(built.values(), set.values()) << size;
    // Its index finds each key, and one set later keeps its place.
    Dictionary changed = built;
    for (const auto& key : set.keys()) {
      EXPECT_EQ(changed.objectForKey(key), set.objectForKey(key)) << size << " " << key;
      changed.set(key, "again");
    }
    EXPECT_EQ(changed.keys(), set.keys()) << size;
    EXPECT_FALSE(changed.contains("absent"));
  }
}

TEST(DictionaryTest, EqualityIgnoresOrderAndComparesNumbersByValue) {
  Dictionary a{{"x", 120}, {"y", "s"}};
  Dictionary b{{"y", "s"}, {"x", 120.0}};
  EXPECT_EQ(a, b);
  b.set("z", 1);
  EXPECT_NE(a, b);
}

TEST(ValueTest, DescribesCollectionsInPropertyListStyle) {
  Dictionary d{{"name", "A b"}, {"count", 2}, {"list", Array{Value("x"), Value(1.5)}}};
  EXPECT_EQ(Value(d).description(),
            "{\n    name = \"A b\";\n    count = 2;\n    list = (\n        x,\n        1.5\n    );\n}");
  EXPECT_EQ(Value().description(), "(null)");
  EXPECT_EQ(Value::null().description(), "<null>");
  EXPECT_EQ(Value(Data{1, 0xab}).description(), "{length = 2, bytes = 0x01ab}");

  // Items shared many times over: the description stops at its limit.
  Value shared("\xC3\xA9t\xC3\xA9");
  for (int level = 0; level < 18; ++level) shared = Value(Array{shared, shared});
  const std::string text = shared.description();
  EXPECT_LE(text.size(), Value::kMaxDescriptionLength + 3);
  EXPECT_GT(text.size(), Value::kMaxDescriptionLength - 4);
  EXPECT_TRUE(text.ends_with("..."));
  EXPECT_TRUE(g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr));
}

TEST(FormatTest, FormatsValuesObjectsAndCConversions) {
  EXPECT_EQ(format("%@ and %@", Value(3), Value("str")), "3 and str");
  EXPECT_EQ(format("%d%%", 50), "50%");
  EXPECT_EQ(format("%ld|%zd|%lld|%u|%lu|%llu", -1L, std::size_t{5}, -3LL, 7u, 8UL, 9ULL), "-1|5|-3|7|8|9");
  EXPECT_EQ(format("%.1f %.2f %f", 1.25, 2.0, 0.5), "1.2 2.00 0.500000");
  EXPECT_EQ(format("%x %s", 255, "text"), "ff text");
  EXPECT_EQ(format("%s|%@", static_cast<const char*>(nullptr), ObjectPtr()), "(null)|(null)");
  auto thing = std::make_shared<Thing>(4);
  EXPECT_EQ(format("[%@(%p)]", thing->className(), thing.get()), "[Thing(" + pointerString(thing.get()) + ")]");
  EXPECT_EQ(format("%@", thing), "Thing#4");
  EXPECT_EQ(format("%@", Range{5, 2}), "{5, 2}");
  EXPECT_EQ(format("%5s|%-3d|", "ab", 7), "   ab|7  |");
}

TEST(FormatTest, MissingArgumentsAndStrayPercentsAreHarmless) {
  EXPECT_EQ(format("%d %@ %s"), "  ");
  EXPECT_EQ(format("100%"), "100%");
  EXPECT_EQ(format("%q", 1), "%q");
  // Data handed over as an argument is never interpreted.
  EXPECT_EQ(format("%@", Value("%s%n%d")), "%s%n%d");
}

TEST(RangeTest, IntersectsAndDescribes) {
  EXPECT_EQ((Range{2, 5}.intersection(Range{5, 10})), (Range{5, 2}));
  EXPECT_EQ((Range{0, 2}.intersection(Range{3, 1})), (Range{0, 0}));
  EXPECT_EQ((Range{std::numeric_limits<std::size_t>::max() - 1, 10}.max()), std::numeric_limits<std::size_t>::max());
}

TEST(IndexSetTest, MergesAndSplitsRanges) {
  IndexSet set{5, 1, 2, 3};
  EXPECT_EQ(set.ranges().size(), 2u);
  EXPECT_EQ(set.description(), "[number of indexes: 4 (in 2 ranges), indexes: (1-3 5)]");
  set.add(4);
  EXPECT_EQ(set.ranges().size(), 1u);
  set.remove(Range{2, 2});
  EXPECT_EQ(set.indexes(), (std::vector<std::size_t>{1, 4, 5}));
  EXPECT_TRUE(set.contains(4));
  EXPECT_FALSE(set.contains(3));
  EXPECT_EQ(set.first(), 1u);
  EXPECT_EQ(set.last(), 5u);
}

TEST(ErrorTest, CarriesItsUnderlyingErrorAndDescribesItself) {
  auto inner = Error::make("inner", 7);
  auto outer = Error::withUnderlying("outer", 3, inner);
  EXPECT_EQ(outer->underlyingError(), inner);
  EXPECT_TRUE(Error::cancelled()->is(Error::kCocoaErrorDomain, 3072));
  EXPECT_EQ(Error::make("d", 1)->description(), "Error Domain=d Code=1 \"(null)\"");
  EXPECT_TRUE(Error::make("d", 1)->isEqual(*Error::make("d", 1)));
  EXPECT_FALSE(Error::make("d", 1)->isEqual(*Error::make("d", 2)));
}
