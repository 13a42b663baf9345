#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "IALKQueue.h"
#include "Indexes/IndexSet.h"
#include "Indexes/Range.h"

// Posted on the default notification centre after every change of a queue,
// with the queue as sender and no user info.
inline constexpr const char* ALKQueueDidChangeNotification = "ALKQueueDidChangeNotification";

// The in-memory queue of the engine: an optional capacity that refuses a
// whole batch which would exceed it, and after every change, synchronously on
// the changing thread: the key-value observers of "objects" (then those of
// "count", "empty" and "peekObject"), the delegate, then
// ALKQueueDidChangeNotification.
//
// Thread rules: every change is made on the main thread. The objects are
// guarded by a private mutex so that peekObject() (and count()) may be read
// from another thread, the store queue's; that mutex is never held while
// anyone is notified.
class ALKQueue : public IALKQueue {
 public:
  using EnumerationBlock = std::function<void(const platform::ObjectPtr& object, std::size_t index, bool& stop)>;

  // A new, empty, unlimited queue.
  static std::shared_ptr<ALKQueue> queue();
  ALKQueue();
  // Removes what is left, so that a live delegate and the notification's
  // observers see the final removal.
  ~ALKQueue() override;

  bool canIncreaseCountBy(std::size_t count) const;
  bool canEnqueue() const override { return canIncreaseCountBy(1); }
  bool enqueueObject(platform::ObjectPtr object) override;
  // A nil object is reported to the thread's assertion handler (which raises
  // by default); when the handler returns, the insertion is refused.
  bool insertObject(platform::ObjectPtr object, std::size_t index);
  // Inserts the whole batch so that it ends up at `indexes`, or nothing: an
  // empty batch, one over capacity and indexes that do not fit the batch or
  // lie past the end are refused.
  bool insertObjects(const std::vector<platform::ObjectPtr>& objects, const platform::IndexSet& indexes);

  platform::ObjectPtr dequeueObject() override;
  // Removes the first object equal to `object`, if there is one.
  void dequeueObject(const platform::ObjectPtr& object);
  void dequeueAllObjects() override;
  // An index past the end removes nothing.
  void removeObjectAtIndex(std::size_t index);
  // Removes the part of `range` that lies within the queue.
  void removeObjectsInRange(platform::Range range);

  // Calls `block` on the calling thread, head to tail, with the objects
  // present at the call; changes made meanwhile do not disturb it.
  void enumerateObjectsUsingBlock(const EnumerationBlock& block) const;
  // The objects at `indexes`; nullopt (with an ERROR line) when an index lies
  // past the end.
  std::optional<std::vector<platform::ObjectPtr>> objectsAtIndexes(const platform::IndexSet& indexes) const;

  // The objects, head first; nullopt while the queue is empty.
  std::optional<std::vector<platform::ObjectPtr>> objects() const;
  std::size_t count() const override;
  bool isEmpty() const override { return count() == 0; }
  platform::ObjectPtr peekObject() const override;

  std::shared_ptr<IALKQueueDelegate> delegate() const override { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<IALKQueueDelegate> delegate) override { delegate_ = std::move(delegate); }
  std::size_t capacity() const override { return capacity_; }
  // Not applied to what is already queued.
  void setCapacity(std::size_t capacity) override { capacity_ = capacity; }

  // "count", "empty" and "peekObject". The notices of "objects" carry the
  // kind and the indexes of the change, not the objects: observers read them
  // from the queue.
  platform::Value valueForKey(const std::string& key) const override;

 protected:
  // The change announcements: the delegate, then the notification. Called by
  // the queue itself after each change.
  virtual void didEnqueueObjects(const std::vector<platform::ObjectPtr>& objects);
  virtual void didDequeueObjects(const std::vector<platform::ObjectPtr>& objects);

 private:
  mutable std::mutex mutex_;  // guards objects_ only; any thread; never held while notifying
  std::vector<platform::ObjectPtr> objects_;
  // Main thread only.
  std::weak_ptr<IALKQueueDelegate> delegate_;
  std::size_t capacity_ = 0;
};
