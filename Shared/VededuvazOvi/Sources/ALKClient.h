#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ALKConfig.h"
#include "ALKTracker.h"
#include "IALKClientDelegate.h"
#include "Indexes/IndexSet.h"
#include "Observation/KeyValueObservable.h"
#include "Values/Object.h"
#include "Indexes/Range.h"
#include "Dispatch/Timer.h"
#include "Errors/Exception.h"

// The entry point of the analytics library: the base configuration, the
// trackers (one of them the default tracker, made lazily for the configured
// tracking id by the analytics type's "%@TrackerWithTrackingId:" entry), and a
// one-shot timer that dispatches pending activities after "dispatchInterval"
// seconds while some tracker has activities pending and its pipeline is
// suspended or idle. Observable under "trackers" (indexed) and
// "defaultTracker".
//
// Threads: the client, its trackers and its timer are used on the main
// thread; the timer runs on the main run loop. Only the creation of the
// shared client is safe across threads.
class ALKClient : public platform::Object, public platform::KeyValueObservable {
 public:
  // The process's client, made on first use; it is never destroyed at exit.
  // Any thread.
  static std::shared_ptr<ALKClient> sharedClient();
  // Drops the process's reference (the client closes when that was the last)
  // so that the next sharedClient() makes a new one.
  static void resetSharedClient();
  // The shared client's default tracker. (C++ cannot give a static member the
  // name of the member defaultTracker() below.)
  static std::shared_ptr<ALKTracker> sharedDefaultTracker();

  ALKClient();
  ~ALKClient() override;

  // Creates the default configuration unless one was set or creation is off.
  std::shared_ptr<ALKConfig> config();
  // Nil turns the lazy creation off.
  void setConfig(std::shared_ptr<ALKConfig> config);
  // The configuration's "clientId", "trackingId" and "optOut"; the setters do
  // nothing without a configuration.
  std::optional<std::string> clientId();
  void setClientId(std::optional<std::string> clientId);
  std::optional<std::string> trackingId();
  void setTrackingId(std::optional<std::string> trackingId);
  bool optOut();
  void setOptOut(bool optOut);

  // The default tracker: the first tracker, else one made and added for the
  // configured tracking id; nil is retried at the next call.
  std::shared_ptr<ALKTracker> defaultTracker();
  // A tracker of this client, or nil, which stops the lazy creation; any
  // other is refused.
  void setDefaultTracker(std::shared_ptr<ALKTracker> tracker);
  // The tracker with this tracking id, else a new one that is added (a type
  // without factory adds nil, which the thread's assertion handler hears of).
  std::shared_ptr<ALKTracker> trackerWithTrackingID(const std::string& trackingId);
  // A new tracker from the type's factory, not added; nil without an id or a
  // factory.
  std::shared_ptr<ALKTracker> createTrackerWithTrackingId(const std::string& trackingId,
                                                          const platform::Value& analyticsType);

  // A copy of the trackers in insertion order (empty when there are none):
  // closing a tracker while walking it is safe.
  std::vector<std::shared_ptr<ALKTracker>> trackers() const { return trackers_; }
  std::size_t trackersCount() const { return trackers_.size(); }
  void addTracker(std::shared_ptr<ALKTracker> tracker);
  // A nil tracker and a tracker that already has a client are reported to
  // the thread's assertion handler (which raises by default) and refused;
  // the list is never left half changed.
  void insertTracker(std::shared_ptr<ALKTracker> tracker, std::size_t index);
  void insertTrackers(const std::vector<std::shared_ptr<ALKTracker>>& trackers, const platform::IndexSet& indexes);
  void removeTracker(const std::shared_ptr<ALKTracker>& tracker);
  void removeTrackerAtIndex(std::size_t index);
  // Removes the part of `range` that lies within the list; a default tracker
  // among the removed is cleared, announced, and may be made again lazily.
  void removeTrackersInRange(platform::Range range);

  // Runs every tracker's pipeline, then updates the timer.
  void dispatch();
  // For good: closes every tracker, drops the configuration; nothing is made
  // lazily any more.
  void close();

  // Called by a tracker whenever a queue of its pipeline changes.
  void didChangeTrackerPendingActivities(ALKTracker& tracker);
  // Called by a tracker when a stage of its pipeline halted after a failed
  // run (a send that failed in transport): nothing but a dispatch runs it
  // again and no queue changed, so the timer is armed anew, also when the
  // last one has fired.
  void didHaltTrackerPipeline(ALKTracker& tracker);
  void updateDispatchTimerIfNeeded();
  // The timer's action, on the main thread.
  void dispatchTimerDidFire(platform::Timer& timer);
  // The armed or last fired timer.
  const std::shared_ptr<platform::Timer>& dispatchTimer() const { return dispatchTimer_; }

  std::shared_ptr<IALKClientDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<IALKClientDelegate> delegate) { delegate_ = std::move(delegate); }
  bool skipCreatingConfig() const { return skipCreatingConfig_; }
  void setSkipCreatingConfig(bool skip) { skipCreatingConfig_ = skip; }
  bool skipCreatingDefaultTracker() const { return skipCreatingDefaultTracker_; }
  void setSkipCreatingDefaultTracker(bool skip) { skipCreatingDefaultTracker_ = skip; }

  // "trackers" and "defaultTracker".
  platform::Value valueForKey(const std::string& key) const override;

  // Exception and assertion reporting (ALKClientExceptionReporting.cpp).
  // The back end's "%@ExceptionActivityWithDescription:fatal:" entry.
  using ExceptionActivityFactory = ALKExceptionActivityEntry;
  // How long an uncaught-exception report waits for the stores to take it.
  static constexpr std::chrono::seconds kReportTimeout{2};

  // Whether ALKUncaughtExceptionHandler is the process's uncaught-exception
  // handler. Any thread.
  static bool tracksUnhandledExceptions();
  // Enabling saves the handler in place and installs
  // ALKUncaughtExceptionHandler; disabling puts the saved one back. Any
  // thread; the two are serialised.
  static void setTracksUnhandledExceptions(bool enable);
  // Sends a fatal exception activity to every tracker, waits (up to
  // kReportTimeout, turning the main run loop) until each tracker's first
  // stage has taken it (the store has written its row), then closes the
  // client for good. Main thread.
  void handleUncaughtException(const platform::Exception& exception);
  // Send "Assertion failure in -[%@ %@], %@:%zd" (the object's class, the
  // method, the file's name, the line) as an exception activity, fatal when
  // `raise`, to every tracker; the message is only logged. From any thread:
  // the sending hops to the main thread.
  void assertFailureInMethod(const std::string& method, const platform::Object* object, bool raise,
                             const std::string& file, long line, const std::string& message);
  // The same for a function: "Assertion failure in %@([[arg1], ]), %@:%zd".
  void assertFailureInFunction(const std::string& function, bool raise, const std::string& file, long line,
                               const std::string& message);
  // The analytics type's exception activity; nil without a factory. Main thread.
  std::shared_ptr<ALKActivity> createExceptionActivityWithDescription(const std::string& description, bool fatal);

 protected:
  // Hooks run after a successful insertion or removal, before the change
  // notice closes; both update the dispatch timer here. Main thread.
  virtual void didInsertTrackers(const std::vector<std::shared_ptr<ALKTracker>>& trackers);
  virtual void didRemoveTrackers();

 private:
  // Creates the activity and sends it to every tracker, on the main thread.
  void reportFailure(const std::string& description, bool fatal);
  void setDefaultTrackerAnnounced(std::shared_ptr<ALKTracker> tracker);

  std::vector<std::shared_ptr<ALKTracker>> trackers_;
  std::shared_ptr<ALKTracker> defaultTracker_;
  std::shared_ptr<ALKConfig> config_;
  std::weak_ptr<IALKClientDelegate> delegate_;
  std::shared_ptr<platform::Timer> dispatchTimer_;
  bool skipCreatingConfig_ = false;
  bool skipCreatingDefaultTracker_ = false;
};

// The process's uncaught-exception handler while exceptions are tracked: the
// report of the shared client (on the main thread: a report from another
// thread waits, bounded, for the main thread to make it), unless opted out.
// Runs on the thread that terminates; the process aborts after it.
void ALKUncaughtExceptionHandler(const platform::Exception& exception);
