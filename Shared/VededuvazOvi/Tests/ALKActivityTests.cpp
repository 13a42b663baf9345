#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "ALKActivity.h"
#include "ALKActivityToDataTransformer.h"
#include "Archiving/KeyedArchiver.h"
#include "Archiving/PropertyList.h"
#include "RecordingLogger.h"
#include "TemporaryDirectory.h"

using platform::Dictionary;
using platform::Value;

namespace {

// Counts the change hooks around every change.
class CountingActivity : public ALKCopiedAsOwnClass<CountingActivity, ALKActivity> {
 public:
  using ALKCopiedAsOwnClass::ALKCopiedAsOwnClass;
  void willChangeValueForProperty(const std::string& name) override { changes.push_back("will " + name); }
  void didChangeValueForProperty(const std::string& name) override { changes.push_back("did " + name); }
  std::vector<std::string> changes;
};

std::shared_ptr<ALKActivity> eventActivity() {
  auto activity = std::make_shared<ALKActivity>();
  activity->setValue("Event", "activityType");
  activity->setValue("SoftwareDownload", "eventCategory");
  activity->setValue(true, "nonInteraction");
  activity->setValue(-5, "eventValue");
  activity->setValue(0.25, "queueTime");
  activity->setValue(*platform::Url::fromString("https://example.com/p?q=1"), "documentLocation");
  activity->setValue(Dictionary{}, "custom");
  return activity;
}

Value archive(const std::shared_ptr<ALKActivity>& activity) {
  return ALKActivityToDataTransformer().transformedValue(Value(activity));
}

std::shared_ptr<ALKActivity> unarchive(const Value& data) {
  return ALKActivityToDataTransformer().reverseTransformedValue(data).objectAs<ALKActivity>();
}

// An archive of `root` whose root class is recorded as ALKActivity, with
// `properties` under "properties", made as another writer would make it.
platform::Data handMadeArchive(const Value& properties) {
  auto uid = [](std::int64_t n) { return Value(Dictionary{{"CF$UID", n}}); };
  Dictionary archive{
      {"$archiver", "NSKeyedArchiver"},
      {"$version", 100000},
      {"$top", Dictionary{{"root", uid(1)}}},
      {"$objects", platform::Array{Value("$null"), Value(Dictionary{{"properties", uid(2)}, {"$class", uid(3)}}),
                                   properties,
                                   Value(Dictionary{{"$classname", "ALKActivity"},
                                                    {"$classes", platform::Array{Value("ALKActivity"), Value("NSObject")}}})}}};
  return *platform::PropertyList::write(Value(archive), platform::PropertyListFormat::Binary);
}

}  // namespace

TEST(ALKActivityTest, KeepsNoDictionaryAndAnEmptyDictionaryApart) {
  // Removing from a new activity runs both hooks and makes no dictionary.
  auto fresh = std::make_shared<CountingActivity>();
  fresh->removeValueForProperty("eventLabel");
  EXPECT_EQ(fresh->changes, (std::vector<std::string>{"will eventLabel", "did eventLabel"}));
  EXPECT_FALSE(fresh->properties());
  EXPECT_FALSE(fresh->propertyNames());
  // Removing the last property leaves an empty dictionary, no longer equal to none.
  auto emptied = std::make_shared<ALKActivity>();
  emptied->setObject("Event", "activityType");
  emptied->removeAllProperties();
  ASSERT_TRUE(emptied->properties());
  EXPECT_TRUE(emptied->properties()->empty());
  EXPECT_FALSE(emptied->isEqual(ALKActivity()));
  EXPECT_TRUE(ALKActivity().isEqual(ALKActivity()));
}

TEST(ALKActivityTest, ComparesByClassAndDictionaryAndCopiesShallowly) {
  auto source = eventActivity();
  auto copy = std::static_pointer_cast<ALKActivity>(source->copy());
  EXPECT_TRUE(source->isEqual(*copy));
  EXPECT_EQ(source->hash(), copy->hash());
  copy->setTimestamp(10.5);
  EXPECT_EQ(source->timestamp(), 0.0);
  EXPECT_FALSE(std::static_pointer_cast<ALKActivity>(ALKActivity().copy())->mutableProperties());
  // A subclass with an equal dictionary is not equal; it copies as itself.
  CountingActivity sub(std::make_shared<Dictionary>(*source->mutableProperties()));
  EXPECT_FALSE(sub.isEqual(*source));
  EXPECT_FALSE(source->isEqual(sub));
  const auto subCopy = std::dynamic_pointer_cast<CountingActivity>(sub.copy());
  ASSERT_TRUE(subCopy);
  EXPECT_TRUE(subCopy->isEqual(sub));
}

TEST(ALKActivityTest, ArchivesRoundTripKeepingNilEmptyAndNumberKinds) {
  for (const auto& activity : {eventActivity(), std::make_shared<ALKActivity>(),
                               std::make_shared<ALKActivity>(std::make_shared<Dictionary>())}) {
    const auto back = unarchive(archive(activity));
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->isEqual(*activity)) << activity->description();
    EXPECT_EQ(static_cast<bool>(back->mutableProperties()), static_cast<bool>(activity->mutableProperties()));
  }
  const auto back = unarchive(archive(eventActivity()));
  EXPECT_TRUE(back->valueForProperty("nonInteraction").number()->isBool());
  EXPECT_TRUE(back->valueForProperty("queueTime").number()->isDouble());
  // An activity without a dictionary is archived with no key at all.
  const Value layout = platform::PropertyList::read(*archive(std::make_shared<ALKActivity>()).data());
  const Value root = layout.dictionary()->objectForKey("$objects").array()->at(1);
  EXPECT_EQ(root.dictionary()->keys(), std::vector<std::string>{"$class"});
}

TEST(ALKActivityTest, AnswersNilWithAnErrorLineForWhatIsNoArchivedActivity) {
  RecordingLoggerScope recorder;
  ALKActivityToDataTransformer transformer;
  EXPECT_TRUE(transformer.transformedValue(Value()).isNil());
  EXPECT_TRUE(transformer.reverseTransformedValue(Value()).isNil());
  EXPECT_TRUE(recorder->lines().empty());
  EXPECT_TRUE(transformer.transformedValue(Value("not an activity")).isNil());
  EXPECT_TRUE(recorder->contains("Unable to transform activity {not an activity}"));
  // Bytes that are no archive, an archive whose root is a dictionary, no data.
  const Value foreignRoot(*platform::KeyedArchiver::archivedData(Value(Dictionary{{"a", 1}})));
  for (const Value& input : {Value(platform::Data{1, 2, 3}), foreignRoot, Value(42)}) {
    recorder->clear();
    EXPECT_TRUE(transformer.reverseTransformedValue(input).isNil()) << input.description();
    EXPECT_TRUE(recorder->contains("Unable to reverse transform activity {")) << input.description();
  }
  // A "properties" entry that is no dictionary gives an activity without one.
  const auto odd = unarchive(Value(handMadeArchive(Value("a string"))));
  ASSERT_TRUE(odd);
  EXPECT_FALSE(odd->mutableProperties());
}

// An independent reader (Python's plistlib) reads the stored form, and this
// library reads an archive that Python wrote.
TEST(ALKActivityTest, StoredFormReadsInAnIndependentReaderAndBack) {
  if (std::system("python3 -c 'import plistlib' > /dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
  TemporaryDirectory directory;
  const std::string ours = directory.file("ours.archive");
  const std::string theirs = directory.file("theirs.archive");
  const Value data = archive(eventActivity());
  std::ofstream(ours, std::ios::binary).write(reinterpret_cast<const char*>(data.data()->data()),
                                              static_cast<std::streamsize>(data.data()->size()));
  const std::string command = std::string("python3 ") + VEDEDUVAZOVI_TESTS_DIR + "/check_archive.py " + ours + " " + theirs;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream file(theirs, std::ios::binary);
  const auto back = unarchive(Value(platform::Data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>())));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->valueForProperty("eventCategory"), Value("Python"));
  EXPECT_TRUE(back->valueForProperty("nonInteraction").number()->isBool());
  EXPECT_EQ(back->valueForProperty("eventValue"), Value(-7));
  EXPECT_EQ(back->valueForProperty("documentLocation"), Value(*platform::Url::fromString("https://example.com/py")));
}

// An activity whose properties refer to one chain of arrays, each holding the
// next one twice: a small archive (the short chain first, as without sharing
// the long one takes minutes) that archives again at the size it came in.
TEST(ALKActivityTest, SharedPropertiesArchiveAgainAtTheirSize) {
  for (const int levels : {8, 18}) {
    Value chain("leaf");
    Value below;
    for (int i = 0; i < levels; ++i) {
      below = chain;
      chain = Value(platform::Array{chain, chain});
    }
    auto activity = std::make_shared<ALKActivity>();
    activity->setValue("Event", "activityType");
    activity->setValue(chain, "a");
    activity->setValue(below, "b");
    const Value data = archive(activity);
    ASSERT_TRUE(data.data());
    ASSERT_LT(data.data()->size(), 4096u);
    const auto back = unarchive(data);
    ASSERT_TRUE(back);
    const Value again = archive(back);
    ASSERT_TRUE(again.data());
    EXPECT_EQ(again.data()->size(), data.data()->size());
    EXPECT_TRUE(unarchive(again));
  }
}

// Text made archivable keeps what was shared shared: a chain of arrays that
// each hold the next one twice stays one array per level, not one per use.
TEST(ALKActivityTest, TextMadeArchivableKeepsSharedValuesShared) {
  for (const int levels : {8, 20}) {
    Value chain("caf\xC3");
    for (int i = 0; i < levels; ++i) chain = Value(platform::Array{chain, chain});
    auto activity = std::make_shared<ALKActivity>();
    activity->setValue("Event", "activityType");
    activity->setValue(chain, "a");
    const auto archivable = ALKActivityToDataTransformer::archivableActivity(activity);
    ASSERT_NE(archivable, activity) << "the leaf is not valid UTF-8";
    const Value* top = archivable->mutableProperties()->find("a");
    ASSERT_TRUE(top && top->array());
    ASSERT_EQ((*top->array())[0].array(), (*top->array())[1].array());
    const Value data = archive(archivable);
    ASSERT_TRUE(data.data());
    ASSERT_LT(data.data()->size(), 4096u);
  }
}
