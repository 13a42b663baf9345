#pragma once

#include <cstddef>
#include <memory>

#include "IALKQueueDelegate.h"
#include "Observation/KeyValueObservable.h"
#include "Values/Object.h"

// A first-in-first-out list of objects that links the stages of a pipeline.
// Observable under "objects" (indexed insertions and removals, without the
// objects themselves) and its dependent keys "count", "empty" and
// "peekObject". Changes are made on the
// main thread; peekObject() may be read from any thread.
class IALKQueue : public platform::Object, public platform::KeyValueObservable {
 public:
  virtual void dequeueAllObjects() = 0;
  virtual bool canEnqueue() const = 0;
  // Appends `object`; false when it is nil or the queue is full.
  virtual bool enqueueObject(platform::ObjectPtr object) = 0;
  // Removes and answers the head; nil when the queue is empty.
  virtual platform::ObjectPtr dequeueObject() = 0;
  virtual std::size_t count() const = 0;
  virtual bool isEmpty() const = 0;
  // The head without removing it; nil when the queue is empty. Any thread.
  virtual platform::ObjectPtr peekObject() const = 0;
  virtual std::shared_ptr<IALKQueueDelegate> delegate() const = 0;
  virtual void setDelegate(std::weak_ptr<IALKQueueDelegate> delegate) = 0;
  // The most objects the queue takes; 0 for no limit.
  virtual std::size_t capacity() const = 0;
  virtual void setCapacity(std::size_t capacity) = 0;
};
