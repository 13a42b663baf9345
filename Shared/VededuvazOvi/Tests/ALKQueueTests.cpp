#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ALKQueue.h"
#include "EngineTestSupport.h"
#include "Errors/Exception.h"
#include "Observation/NotificationCenter.h"
#include "RecordingLogger.h"

using platform::IndexSet;
using platform::ObjectPtr;

namespace {

// Records what a queue tells, in the order it tells it.
class QueueWatcher : public IALKQueueDelegate {
 public:
  explicit QueueWatcher(const std::shared_ptr<ALKQueue>& queue)
      : countObservation_(queue->addObserver("count",
                                             [this](const std::string&, const platform::KeyValueChange& change) {
                                               events.push_back("count " + change.oldValue.description() + "->" +
                                                                change.newValue.description());
                                             })),
        objectsObservation_(queue->addObserver(
            "objects", [this](const std::string&, const platform::KeyValueChange& change) { indexes.push_back(change.indexes); })),
        notification_(platform::NotificationCenter::defaultCenter().addObserver(
            ALKQueueDidChangeNotification, queue.get(), [this](const platform::Notification&) { events.push_back("notification"); })) {}

  void queueDidEnqueueObjects(IALKQueue&, const std::vector<ObjectPtr>& objects) override {
    events.push_back("enqueued " + std::to_string(objects.size()));
    handed = objects;
  }
  void queueDidDequeueObjects(IALKQueue&, const std::vector<ObjectPtr>& objects) override {
    events.push_back("dequeued " + std::to_string(objects.size()));
    handed = objects;
  }

  std::vector<std::string> events;
  std::vector<IndexSet> indexes;
  std::vector<ObjectPtr> handed;

 private:
  platform::ObservationToken countObservation_;
  platform::ObservationToken objectsObservation_;
  platform::ObservationToken notification_;
};

std::vector<ObjectPtr> makeObjects(std::size_t count) {
  std::vector<ObjectPtr> objects;
  for (std::size_t i = 0; i < count; ++i) objects.push_back(activityOfType("item" + std::to_string(i)));
  return objects;
}

struct WatchedQueue {
  std::shared_ptr<ALKQueue> queue = ALKQueue::queue();
  std::shared_ptr<QueueWatcher> watcher = std::make_shared<QueueWatcher>(queue);
  WatchedQueue() { queue->setDelegate(watcher); }
};

}  // namespace

TEST(ALKQueueTest, TellsObserversThenTheDelegateThenTheNotificationCentre) {
  WatchedQueue watched;
  const auto object = activityOfType("a");
  EXPECT_TRUE(watched.queue->enqueueObject(object));
  EXPECT_EQ(watched.watcher->events, (std::vector<std::string>{"count 0->1", "enqueued 1", "notification"}));
  EXPECT_EQ(watched.watcher->handed, std::vector<ObjectPtr>{object});

  watched.watcher->events.clear();
  EXPECT_FALSE(watched.queue->enqueueObject(nullptr));
  EXPECT_EQ(watched.queue->dequeueObject(), object);
  EXPECT_EQ(watched.queue->dequeueObject(), nullptr);  // empty: no change, no notice
  EXPECT_EQ(watched.watcher->events, (std::vector<std::string>{"count 1->0", "dequeued 1", "notification"}));
  EXPECT_EQ(watched.queue->objects(), std::nullopt);
}

TEST(ALKQueueTest, RefusesAWholeBatchOverCapacity) {
  RecordingLoggerScope recorder;
  WatchedQueue watched;
  watched.queue->setCapacity(3);
  EXPECT_FALSE(watched.queue->insertObjects(makeObjects(4), IndexSet(platform::Range{0, 4})));
  EXPECT_TRUE(watched.queue->insertObjects(makeObjects(3), IndexSet(platform::Range{0, 3})));
  watched.watcher->events.clear();
  EXPECT_FALSE(watched.queue->enqueueObject(activityOfType("extra")));
  EXPECT_EQ(watched.queue->count(), 3u);
  EXPECT_TRUE(watched.watcher->events.empty());
  // Lowering the capacity keeps what is there.
  watched.queue->setCapacity(1);
  EXPECT_EQ(watched.queue->count(), 3u);
}

TEST(ALKQueueTest, InsertsAtTheGivenIndexesAndRefusesIndexesPastTheEnd) {
  RecordingLoggerScope recorder;
  WatchedQueue watched;
  const auto objects = makeObjects(3);
  ASSERT_TRUE(watched.queue->enqueueObject(objects[0]));
  // The batch ends up at positions 0 and 2 around what was there.
  EXPECT_TRUE(watched.queue->insertObjects({objects[1], objects[2]}, IndexSet{0, 2}));
  EXPECT_EQ(watched.queue->objects(), (std::vector<ObjectPtr>{objects[1], objects[0], objects[2]}));
  EXPECT_EQ(watched.watcher->indexes.back(), (IndexSet{0, 2}));

  watched.watcher->events.clear();
  EXPECT_FALSE(watched.queue->insertObject(activityOfType("far"), 7));
  EXPECT_FALSE(watched.queue->insertObjects(makeObjects(2), IndexSet{1}));  // counts differ
  EXPECT_EQ(watched.queue->count(), 3u);
  EXPECT_TRUE(watched.watcher->events.empty());
  EXPECT_EQ(watched.queue->objectsAtIndexes(IndexSet{3}), std::nullopt);

  // A nil object goes to the assertion handler, which raises by default.
  EXPECT_THROW(watched.queue->insertObject(nullptr, 0), platform::Exception);
  RecordingAssertionHandlerScope handler;
  EXPECT_FALSE(watched.queue->insertObject(nullptr, 0));
  EXPECT_EQ(handler.failures(), std::vector<std::string>{"ALKQueue: Invalid parameter not satisfying: anObject != nil"});
  EXPECT_EQ(watched.queue->count(), 3u);
}

TEST(ALKQueueTest, ClipsRemovalsToTheObjectsPresentAndFindsObjectsByValue) {
  WatchedQueue watched;
  const auto objects = makeObjects(7);
  for (const auto& object : objects) watched.queue->enqueueObject(object);
  watched.queue->removeObjectsInRange({5, 10});
  EXPECT_EQ(watched.watcher->indexes.back(), (IndexSet{5, 6}));
  EXPECT_EQ(watched.watcher->handed, (std::vector<ObjectPtr>{objects[5], objects[6]}));
  watched.watcher->events.clear();
  watched.queue->removeObjectsInRange({40, 2});
  EXPECT_TRUE(watched.watcher->events.empty());
  // The first equal object goes.
  watched.queue->dequeueObject(objects[3]->copy());
  EXPECT_EQ(watched.queue->objects(), (std::vector<ObjectPtr>{objects[0], objects[1], objects[2], objects[4]}));
}

TEST(ALKQueueTest, GoingAwayRemovesWhatIsLeftWithAFinalNotice) {
  auto queue = ALKQueue::queue();
  auto watcher = std::make_shared<QueueWatcher>(queue);
  queue->setDelegate(watcher);
  for (const auto& object : makeObjects(2)) queue->enqueueObject(object);
  queue.reset();
  EXPECT_EQ(watcher->events.back(), "notification");
  EXPECT_EQ(watcher->handed.size(), 2u);
}

TEST(ALKQueueTest, HeadCanBeReadFromAnotherThreadWhileTheMainThreadChangesIt) {
  auto queue = ALKQueue::queue();
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      if (const auto head = queue->peekObject()) {
        EXPECT_FALSE(head->description().empty());
      }
    }
  });
  for (int round = 0; round < 2000; ++round) {
    queue->enqueueObject(activityOfType("a"));
    queue->dequeueObject();
  }
  done.store(true);
  reader.join();
  EXPECT_TRUE(queue->isEmpty());
}
