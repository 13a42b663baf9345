#include "ALKQueue.h"

#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "Errors/AssertionHandler.h"
#include "NSArrayVededuvazOvi.h"
#include "Observation/NotificationCenter.h"

namespace {
constexpr const char* kObjectsKey = "objects";
}  // namespace

std::shared_ptr<ALKQueue> ALKQueue::queue() { return std::make_shared<ALKQueue>(); }

ALKQueue::ALKQueue() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Init");
  setKeysAffectingKey("count", {kObjectsKey});
  setKeysAffectingKey("empty", {kObjectsKey});
  setKeysAffectingKey("peekObject", {kObjectsKey});
}

ALKQueue::~ALKQueue() {
  try {
    ALKLog::debug(this, "Dealloc");
    dequeueAllObjects();
  } catch (...) {
    // An observer that raises cannot stop a queue from going away.
  }
}

bool ALKQueue::canIncreaseCountBy(std::size_t count) const {
  const std::size_t limit = capacity_;
  return limit == 0 || (count <= limit && this->count() <= limit - count);
}

bool ALKQueue::enqueueObject(platform::ObjectPtr object) {
  if (!object) return false;
  return insertObject(std::move(object), count());
}

bool ALKQueue::insertObject(platform::ObjectPtr object, std::size_t index) {
  if (!object) {
    platform::AssertionHandler::currentHandler()->handleFailureInMethod(
        "insertObject:atIndex:", this, "ALKQueue", __LINE__,
        platform::format("Invalid parameter not satisfying: %@", "anObject != nil"));
    ALKLog::error(this, "Invalid object to insert at position %zd", index);
    return false;
  }
  return insertObjects({std::move(object)}, platform::IndexSet{index});
}

bool ALKQueue::insertObjects(const std::vector<platform::ObjectPtr>& objects, const platform::IndexSet& indexes) {
  ALKLogIndent indent;
  if (objects.empty()) {
    ALKLog::warning(this, "Skip inserting objects %@ at indexes %@", ALKArrayDescription{objects}, indexes);
    return false;
  }
  const std::size_t before = count();
  if (!canIncreaseCountBy(objects.size())) {
    ALKLog::debug(this, "Can not add object(s). Exceeded capacity. {add: %zd, actual: %zd, capacity: %zd}",
                  objects.size(), before, capacity_);
    return false;
  }
  if (!com_zarn_alk_canInsertAtIndexes(before, objects.size(), indexes)) {
    ALKLog::error(this, "Invalid indexes %@ to insert objects %@. Actual count %zd.", indexes,
                  ALKArrayDescription{objects}, before);
    return false;
  }
  ALKLog::info(this, "Insert objects %@ at indexes %@. Actual count %zd.", ALKArrayDescription{objects}, indexes,
               before);
  willChange(platform::KeyValueChangeKind::Insertion, indexes, kObjectsKey);
  {
    std::lock_guard lock(mutex_);
    com_zarn_alk_insertObjectsAtIndexes(objects_, objects, indexes);
  }
  didChange(platform::KeyValueChangeKind::Insertion, indexes, kObjectsKey);
  didEnqueueObjects(objects);
  return true;
}

platform::ObjectPtr ALKQueue::dequeueObject() {
  platform::ObjectPtr head = peekObject();
  if (head) removeObjectAtIndex(0);
  return head;
}

void ALKQueue::dequeueObject(const platform::ObjectPtr& object) {
  ALKLogIndent indent;
  std::optional<std::size_t> found;
  enumerateObjectsUsingBlock([&](const platform::ObjectPtr& candidate, std::size_t index, bool& stop) {
    if (platform::objectsEqual(candidate.get(), object.get())) {
      found = index;
      stop = true;
    }
  });
  if (found) removeObjectAtIndex(*found);
}

void ALKQueue::dequeueAllObjects() { removeObjectsInRange({0, count()}); }

void ALKQueue::removeObjectAtIndex(std::size_t index) { removeObjectsInRange({index, 1}); }

void ALKQueue::removeObjectsInRange(platform::Range range) {
  ALKLogIndent indent;
  ALKLog::info(this, "Remove objects in range %@", range);
  const std::size_t before = count();
  const platform::Range clipped = platform::Range{0, before}.intersection(range);
  if (clipped.length == 0) return;
  ALKLog::debug(this, "Remove objects in adjusted range %@. Actual count %zd.", clipped, before);
  const platform::IndexSet indexes(clipped);
  willChange(platform::KeyValueChangeKind::Removal, indexes, kObjectsKey);
  std::vector<platform::ObjectPtr> removed;
  {
    std::lock_guard lock(mutex_);
    const auto first = objects_.begin() + static_cast<std::ptrdiff_t>(clipped.location);
    const auto last = first + static_cast<std::ptrdiff_t>(clipped.length);
    removed.assign(first, last);
    objects_.erase(first, last);
  }
  didChange(platform::KeyValueChangeKind::Removal, indexes, kObjectsKey);
  didDequeueObjects(removed);
}

void ALKQueue::enumerateObjectsUsingBlock(const EnumerationBlock& block) const {
  std::vector<platform::ObjectPtr> snapshot;
  {
    std::lock_guard lock(mutex_);
    snapshot = objects_;
  }
  bool stop = false;
  for (std::size_t index = 0; index < snapshot.size() && !stop; ++index) block(snapshot[index], index, stop);
}

std::optional<std::vector<platform::ObjectPtr>> ALKQueue::objectsAtIndexes(const platform::IndexSet& indexes) const {
  std::optional<std::vector<platform::ObjectPtr>> found;
  std::size_t present = 0;
  {
    std::lock_guard lock(mutex_);
    found = com_zarn_alk_objectsAtIndexes(objects_, indexes);
    present = objects_.size();
  }
  if (!found) ALKLog::error(this, "Invalid indexes %@ to read. Actual count %zd.", indexes, present);
  return found;
}

std::optional<std::vector<platform::ObjectPtr>> ALKQueue::objects() const {
  std::lock_guard lock(mutex_);
  if (objects_.empty()) return std::nullopt;
  return objects_;
}

std::size_t ALKQueue::count() const {
  std::lock_guard lock(mutex_);
  return objects_.size();
}

platform::ObjectPtr ALKQueue::peekObject() const {
  std::lock_guard lock(mutex_);
  return objects_.empty() ? nullptr : objects_.front();
}

platform::Value ALKQueue::valueForKey(const std::string& key) const {
  if (key == "count") return platform::Value(count());
  if (key == "empty") return platform::Value(isEmpty());
  if (key == "peekObject") return platform::Value(peekObject());
  // "objects" itself answers nil: its observers learn the kind and the
  // indexes of each change and read the queue, so that a change does not
  // copy the whole queue twice.
  return IALKQueue::valueForKey(key);
}

void ALKQueue::didEnqueueObjects(const std::vector<platform::ObjectPtr>& objects) {
  if (const auto delegate = delegate_.lock()) delegate->queueDidEnqueueObjects(*this, objects);
  platform::NotificationCenter::defaultCenter().post(ALKQueueDidChangeNotification, this);
}

void ALKQueue::didDequeueObjects(const std::vector<platform::ObjectPtr>& objects) {
  if (const auto delegate = delegate_.lock()) delegate->queueDidDequeueObjects(*this, objects);
  platform::NotificationCenter::defaultCenter().post(ALKQueueDidChangeNotification, this);
}
