#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Observation/KeyValueObservable.h"

using namespace platform;

namespace {

// An array property "objects", "count" following it and "isEmpty" following "count".
class Shelf : public KeyValueObservable {
 public:
  Shelf() {
    setKeysAffectingKey("count", {"objects"});
    setKeysAffectingKey("isEmpty", {"count"});
  }
  void setObjects(std::vector<std::string> objects) {
    willChangeValueForKey("objects");
    objects_ = std::move(objects);
    didChangeValueForKey("objects");
  }
  void insert(std::string object, std::size_t index) {
    const IndexSet indexes{index};
    willChange(KeyValueChangeKind::Insertion, indexes, "objects");
    objects_.insert(objects_.begin() + static_cast<std::ptrdiff_t>(index), std::move(object));
    didChange(KeyValueChangeKind::Insertion, indexes, "objects");
  }
  // Several changes reported as one Setting around them.
  void batch(const std::function<void()>& changes) {
    willChangeValueForKey("objects");
    changes();
    didChangeValueForKey("objects");
  }
  Value valueForKey(const std::string& key) const override {
    if (key == "objects") return Array(objects_.begin(), objects_.end());
    if (key == "count") return objects_.size();
    if (key == "isEmpty") return objects_.empty();
    return {};
  }

 private:
  std::vector<std::string> objects_;
};

std::string text(const Value& value) {
  if (!value.array()) return value.stringValue();
  std::string joined;
  for (const Value& item : *value.array()) joined += (joined.empty() ? "" : ",") + item.stringValue();
  return joined;
}

// "objects Insertion 1: a -> a,b"
std::string text(const std::string& key, const KeyValueChange& change) {
  static const char* kKinds[] = {"Setting", "Insertion", "Removal", "Replacement"};
  std::string line = key + " " + kKinds[static_cast<int>(change.kind)];
  for (std::size_t index : change.indexes.indexes()) line += " " + std::to_string(index);
  return line + ": " + text(change.oldValue) + " -> " + text(change.newValue);
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(KeyValueObservableTest, NotifiesTheKeyThenTheKeysDependingOnIt) {
  Shelf shelf;
  Lines seen;
  auto record = [&](const std::string& key, const KeyValueChange& change) { seen.push_back(text(key, change)); };
  // Dependents registered first: the order follows the keys, not the registrations.
  auto isEmpty = shelf.addObserver("isEmpty", record);
  auto count = shelf.addObserver("count", record);
  auto objects = shelf.addObserver("objects", record);

  shelf.setObjects({"a", "b"});
  EXPECT_EQ(seen, (Lines{"objects Setting:  -> a,b", "count Setting: 0 -> 2", "isEmpty Setting: 1 -> 0"}));
}

TEST(KeyValueObservableTest, NestedIndexedChangesReportTheirOwnValues) {
  Shelf shelf;
  shelf.setObjects({"a"});
  Lines seen;
  auto record = [&](const std::string& key, const KeyValueChange& change) { seen.push_back(text(key, change)); };
  auto objects = shelf.addObserver("objects", record);
  auto count = shelf.addObserver("count", record);

  shelf.batch([&] {
    shelf.insert("b", 1);
    shelf.insert("c", 2);
  });
  EXPECT_EQ(seen, (Lines{"objects Insertion 1: a -> a,b", "count Setting: 1 -> 2", "objects Insertion 2: a,b -> a,b,c",
                         "count Setting: 2 -> 3", "objects Setting: a -> a,b,c", "count Setting: 1 -> 3"}));
}

TEST(KeyValueObservableTest, ObserversMayCancelAndAddObserversDuringANotification) {
  Shelf shelf;
  Lines calls;
  ObservationToken first, second, added;
  first = shelf.addObserver("objects", [&](const std::string&, const KeyValueChange&) {
    calls.push_back("first");
    first.cancel();
    added = shelf.addObserver("objects", [&](const std::string&, const KeyValueChange&) { calls.push_back("added"); });
  });
  second = shelf.addObserver("objects", [&](const std::string&, const KeyValueChange&) { calls.push_back("second"); });

  shelf.setObjects({"a"});
  shelf.setObjects({});
  EXPECT_EQ(calls, (Lines{"first", "second", "second", "added"}));
}

TEST(KeyValueObservableTest, DestroyingTheObjectEndsItsObservers) {
  auto captured = std::make_shared<int>(0);
  std::weak_ptr<int> watch = captured;
  ObservationToken token;
  {
    Shelf shelf;
    token = shelf.addObserver("count", [captured](const std::string&, const KeyValueChange&) { ++*captured; });
    captured.reset();
    shelf.setObjects({"a"});
    EXPECT_EQ(*watch.lock(), 1);
  }
  EXPECT_FALSE(token.isActive());
  EXPECT_TRUE(watch.expired());  // the observer and its captures are gone
  token.cancel();                // and cancelling later is harmless
}
