#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ALKActivity.h"
#include "ALKActivityRequestID.h"
#include "ALKActivityToDataTransformer.h"
#include "Values/Object.h"
#include "Values/Value.h"

// One pending hit of the activity store (entity "ActivityRequest"): the
// activity (stored as its keyed archive; nil in a row made for a URL), its
// timestamp, which orders the rows and identifies a row for removal, the URL
// string of a row made for a URL request, and the state (0 new, 1 read).
//
// Threads: a row belongs to its store and is used on the store's one serial
// line of execution. The snapshots handed to save observers are copies that
// nothing changes any more.
class ALKActivityRequest : public platform::Object {
 public:
  static constexpr const char* kEntityName = "ActivityRequest";
  static const char* entityName() { return kEntityName; }

  struct Attributes {
    std::shared_ptr<ALKActivity> activity;
    double timestamp = 0.0;
    std::optional<std::string> urlString;
    std::uint16_t state = 0;
  };

  ALKActivityRequest(std::shared_ptr<ALKActivityRequestID> objectID, Attributes attributes);

  // The transformer of the `activity` attribute, made and registered (with a
  // DEBUG line) when the first row is made, so before any row is read or
  // written. Never destroyed. Any thread.
  static const ALKActivityToDataTransformer& activityTransformer();

  const std::shared_ptr<ALKActivityRequestID>& objectID() const { return objectID_; }
  const std::shared_ptr<ALKActivity>& activity() const { return attributes_.activity; }
  void setActivity(std::shared_ptr<ALKActivity> activity) { attributes_.activity = std::move(activity); }
  double timestamp() const { return attributes_.timestamp; }
  void setTimestamp(double timestamp) { attributes_.timestamp = timestamp; }
  const std::optional<std::string>& urlString() const { return attributes_.urlString; }
  void setUrlString(std::optional<std::string> urlString) { attributes_.urlString = std::move(urlString); }
  std::uint16_t state() const { return attributes_.state; }
  void setState(std::uint16_t state) { attributes_.state = state; }

  const Attributes& attributes() const { return attributes_; }
  // Whether an attribute differs from what the file holds (always for a row
  // not saved yet).
  bool hasChanges() const;
  // Whether it is saved and only its state differs from the file.
  bool hasOnlyStateChanges() const;
  // A copy with the same ID and values.
  std::shared_ptr<ALKActivityRequest> snapshot() const;

  // "<ALKActivityRequest: 0x...> (<ActivityRequest p3>) {timestamp: ..., state: ..., urlString: ...}".
  std::string description() const override;

 private:
  friend class ALKActivityStore;
  // Called by the store when the file holds these values under `objectID`.
  void didSave(std::shared_ptr<ALKActivityRequestID> objectID);
  // Called by the store when the file that held the row is gone: the row is
  // a new one again, to be written into the next file under `temporaryID`.
  void didLoseFile(std::shared_ptr<ALKActivityRequestID> temporaryID);

  std::shared_ptr<ALKActivityRequestID> objectID_;
  Attributes attributes_;
  // The archive the store made of `archivedActivity_` when it added the row,
  // so that the save writes it without archiving again.
  std::shared_ptr<ALKActivity> archivedActivity_;
  platform::Value archive_;
  std::optional<Attributes> saved_;  // what the file holds; none before the first save
};
