#pragma once

class ALKClient;
class ALKTracker;

// Told by the client when a tracker's pending activities may have changed,
// on the thread that changed them (the main thread).
class IALKClientDelegate {
 public:
  virtual ~IALKClientDelegate() = default;
  virtual void clientDidChangeTrackerPendingActivities(ALKClient& /*client*/, ALKTracker& /*tracker*/) {}
};
