#include <gtest/gtest.h>

#include "ALKPipeline.h"
#include "ALKQueue.h"
#include "EngineTestSupport.h"

using platform::ObjectPtr;

namespace {

// Records the pipeline's notices as text.
class PipelineWatcher : public IALKPipelineDelegate {
 public:
  void pipelineQueueDidEnqueueObjects(ALKPipeline&, IALKQueue& queue, const std::vector<ObjectPtr>& objects) override {
    events.push_back({"enqueued", &queue, objects});
  }
  void pipelineQueueDidDequeueObjects(ALKPipeline&, IALKQueue& queue, const std::vector<ObjectPtr>& objects) override {
    events.push_back({"dequeued", &queue, objects});
  }
  void pipelineFilterWillExecute(ALKPipeline&, ALKQueueFilter& filter) override {
    events.push_back({"will execute", filter.inputQueue().get(), {}});
  }

  struct Event {
    std::string kind;
    const IALKQueue* queue;
    std::vector<ObjectPtr> objects;
  };
  std::vector<Event> events;
};

std::shared_ptr<ALKQueueFilter> passStage(std::shared_ptr<ALKQueue> input, std::shared_ptr<ALKQueue> output,
                                          bool active = false) {
  return ALKQueueFilter::transformQueueFilterWithInputQueue(std::move(input), std::move(output), active, nullptr,
                                                            nullptr);
}

// q1 -> A -> q2 -> B -> q3, both stages inactive and suspended, watched.
struct TwoStages {
  std::shared_ptr<ALKQueue> q1 = ALKQueue::queue(), q2 = ALKQueue::queue(), q3 = ALKQueue::queue();
  std::shared_ptr<ALKQueueFilter> a = passStage(q1, q2), b = passStage(q2, q3);
  std::shared_ptr<ALKPipeline> pipeline = ALKPipeline::pipelineWithFilters({a, b});
  std::shared_ptr<PipelineWatcher> watcher = std::make_shared<PipelineWatcher>();
  TwoStages() {
    pipeline->setDelegate(watcher);
    pipeline->setSuspended(true);
  }
};

}  // namespace

TEST(ALKPipelineTest, AcceptsOnlyChainsLinkedByTheSameQueues) {
  auto q1 = ALKQueue::queue(), q2 = ALKQueue::queue(), q3 = ALKQueue::queue(), q4 = ALKQueue::queue();
  const auto neither = passStage(nullptr, nullptr);
  const std::pair<ALKPipeline::Filters, bool> cases[] = {
      {{passStage(q1, q2), passStage(q2, q3)}, true},
      {{passStage(nullptr, nullptr)}, true},
      {{passStage(q1, q2), passStage(q4, q3)}, false},
      {{passStage(q4, q4)}, false},                        // loops on itself
      {{passStage(q1, q2), passStage(q2, q1)}, false},     // back to its first queue
      {{neither, neither}, false},                         // a stage twice
      {{}, false},
  };
  for (const auto& [filters, valid] : cases) EXPECT_EQ(ALKPipeline::pipelineWithFilters(filters) != nullptr, valid);

  const auto producer = ALKQueueFilter::producerQueueFilterWithOutputQueue(q3, false, nullptr, nullptr);
  const auto pipeline = ALKPipeline::pipelineWithFilters({producer, passStage(q3, nullptr)});
  ASSERT_TRUE(pipeline);
  EXPECT_EQ(pipeline->firstFilter(), producer);
  EXPECT_EQ(pipeline->firstInputQueue(), q3);
}

TEST(ALKPipelineTest, ReportsEveryQueueOnceWithItsHead) {
  TwoStages chain;
  const auto first = activityOfType("first"), second = activityOfType("second");
  chain.q1->enqueueObject(first);
  chain.q1->enqueueObject(second);
  chain.q2->enqueueObject(activityOfType("middle"));
  chain.q3->enqueueObject(activityOfType("last"));
  chain.q1->dequeueObject();
  const auto& events = chain.watcher->events;
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[1].objects, std::vector<ObjectPtr>{first});  // the head, not the one added
  std::vector<const IALKQueue*> queues;
  for (const auto& event : events) queues.push_back(event.queue);
  EXPECT_EQ(queues, (std::vector<const IALKQueue*>{chain.q1.get(), chain.q1.get(), chain.q2.get(), chain.q3.get(), chain.q1.get()}));
  EXPECT_EQ(events[4].kind, "dequeued");
  EXPECT_TRUE(chain.pipeline->hasPendingObjects());
  chain.pipeline->dequeueObjects();
  EXPECT_FALSE(chain.pipeline->hasPendingObjects());
}

TEST(ALKPipelineTest, StopsAndResumesObservingAndClosesEveryStage) {
  TwoStages chain;
  chain.pipeline->setObservesChanges(false);
  chain.q1->enqueueObject(activityOfType("a"));
  EXPECT_TRUE(chain.watcher->events.empty());
  chain.pipeline->setObservesChanges(true);
  chain.q2->enqueueObject(activityOfType("b"));
  EXPECT_EQ(chain.watcher->events.size(), 1u);
  chain.pipeline->close();
  EXPECT_FALSE(chain.pipeline->observesChanges());
  EXPECT_TRUE(chain.a->isClosed() && chain.b->isClosed());
  chain.q3->enqueueObject(activityOfType("c"));
  EXPECT_EQ(chain.watcher->events.size(), 1u);

  // A pipeline dropped without closing stops observing too.
  auto q = ALKQueue::queue();
  auto watcher = std::make_shared<PipelineWatcher>();
  {
    auto pipeline = ALKPipeline::pipelineWithFilters({passStage(q, nullptr)});
    pipeline->setDelegate(watcher);
    pipeline->setSuspended(true);
  }
  q->enqueueObject(activityOfType("a"));
  EXPECT_TRUE(watcher->events.empty());
}
