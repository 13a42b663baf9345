#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "ALKActivity.h"
#include "ALKAnalyticsRegistry.h"
#include "ALKConfig.h"
#include "ALKPipeline.h"
#include "ALKQueueFilter.h"
#include "IALKParentConfigProvider.h"
#include "IALKPipelineDelegate.h"
#include "IALKQueue.h"
#include "IALKTracker.h"

// The session-control values put on an activity under "sessionControl".
inline constexpr const char* ALKSessionControlStart = "startSession";
inline constexpr const char* ALKSessionControlEnd = "endSession";

// A tracker stamps each activity it is sent and puts a copy into the first
// queue of its pipeline, which it builds lazily for the configuration's
// analytics type: the back end's "%@ActivityPipeline" entry, or else a
// pipeline that logs what it consumes. Before each stage runs it gives the
// stage the back end's settings ("%@UpdateFilter:") and, once, a flat copy of
// its configuration. It tells its client whenever a queue of its pipeline
// changes and whenever a stage halts after a failed run. Its configuration
// falls back to the client's.
//
// Threads: every call, and every pipeline delegate call it receives, is made
// on the main thread.
class ALKTracker : public IALKTracker, public IALKParentConfigProvider, public IALKPipelineDelegate {
 public:
  enum class SessionRequest : unsigned { None = 0, Start = 1, End = 2 };

  static constexpr const char* kSessionControlKey = "sessionControl";
  // How long removing pending activities waits for the stages' queues.
  static constexpr std::chrono::seconds kDrainTimeout{2};

  // The back-end entries looked up in ALKAnalyticsRegistry, on the main thread:
  // "%@TrackerWithTrackingId:" makes a tracker for a tracking id,
  // "%@ActivityPipeline" builds the tracker's pipeline, "%@UpdateFilter:"
  // adjusts a stage about to run.
  using Factory = ALKTrackerWithTrackingIdEntry;
  using PipelineTemplate = ALKActivityPipelineEntry;
  using FilterUpdate = ALKUpdateFilterEntry;

  ALKTracker();
  ~ALKTracker() override;

  // Drops the activity when opted out; otherwise enqueues a time-stamped copy
  // (the caller's object is never changed or kept). A full queue drops it.
  void sendActivity(const std::shared_ptr<ALKActivity>& activity) override;
  // Resumes and runs the pipeline, unless opted out.
  void dispatch();
  void resetSessionImmediately(bool start) override;
  // Whether a stage of the pipeline already held is running (not cancelled)
  // or has input; producers are asked last. Builds no pipeline.
  bool hasPendingActivities() const override;
  // Closes the pipeline, waits (bounded) until its stages' queues are done
  // with the store, drops it, then deletes the pending-request store file
  // named by the configuration, with its journal companions.
  void removePendingActivities() override;
  // For good: closes and drops the pipeline, leaves the client and the
  // configuration; no pipeline or configuration is made again. Destroying
  // the tracker runs it too.
  void close() override;

  std::shared_ptr<ALKClient> client() const override { return client_.lock(); }
  // Set and cleared by the client.
  void setClient(std::weak_ptr<ALKClient> client) { client_ = std::move(client); }
  // Creates an empty configuration unless one was set or creation is off.
  std::shared_ptr<ALKConfig> config() override;
  // Nil turns the lazy creation off.
  void setConfig(std::shared_ptr<ALKConfig> config) override;
  bool skipCreatingConfig() const { return skipCreatingConfig_; }
  void setSkipCreatingConfig(bool skip) { skipCreatingConfig_ = skip; }
  bool isClosed() const { return closed_; }
  SessionRequest sessionRequest() const { return sessionRequest_; }
  void setSessionRequest(SessionRequest request) { sessionRequest_ = request; }
  // The client's configuration.
  std::shared_ptr<ALKConfig> parentConfig() const override;

  // Builds the pipeline unless one is held or the tracker is closed; nullptr
  // when the build fails (tried again at the next use).
  std::shared_ptr<ALKPipeline> pipeline();
  // The pipeline's first input queue.
  std::shared_ptr<IALKQueue> activityQueue();

  void updateQueueLimitIfNeeded();
  void updateFilterProperties(ALKQueueFilter& filter);

  // The default pipeline: one active consumer on the main queue that logs
  // each activity it consumes.
  static std::shared_ptr<ALKPipeline> activityPipeline();

  void pipelineQueueDidEnqueueObjects(ALKPipeline& pipeline, IALKQueue& queue,
                                      const std::vector<platform::ObjectPtr>& objects) override;
  void pipelineQueueDidDequeueObjects(ALKPipeline& pipeline, IALKQueue& queue,
                                      const std::vector<platform::ObjectPtr>& objects) override;
  void pipelineFilterWillExecute(ALKPipeline& pipeline, ALKQueueFilter& filter) override;
  void pipelineFilterDidHalt(ALKPipeline& pipeline, ALKQueueFilter& filter) override;

 private:
  // The configuration's "analyticsType", as stored.
  platform::Value analyticsType();
  std::shared_ptr<ALKPipeline> createActivityPipeline();
  void dropPipeline();
  void notifyClient();

  std::weak_ptr<ALKClient> client_;
  std::shared_ptr<ALKConfig> config_;
  std::shared_ptr<ALKPipeline> pipeline_;
  bool skipCreatingConfig_ = false;
  bool closed_ = false;
  SessionRequest sessionRequest_ = SessionRequest::None;
};
