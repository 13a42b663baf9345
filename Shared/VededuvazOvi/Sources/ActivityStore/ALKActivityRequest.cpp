#include "ALKActivityRequest.h"

#include "ALKLog.h"
#include "Text/Format.h"

ALKActivityRequest::ALKActivityRequest(std::shared_ptr<ALKActivityRequestID> objectID, Attributes attributes)
    : objectID_(std::move(objectID)), attributes_(std::move(attributes)) {
  activityTransformer();
  if (!objectID_->isTemporaryID()) saved_ = attributes_;
}

const ALKActivityToDataTransformer& ALKActivityRequest::activityTransformer() {
  static const ALKActivityToDataTransformer* const registered = [] {
    ALKLog::debug(ALKLogSource::forClass("ALKActivityRequest"), "Register transformer ALKActivityToDataTransformer");
    return new ALKActivityToDataTransformer;
  }();
  return *registered;
}

bool ALKActivityRequest::hasChanges() const {
  return !saved_ || saved_->activity != attributes_.activity || saved_->timestamp != attributes_.timestamp ||
         saved_->urlString != attributes_.urlString || saved_->state != attributes_.state;
}

bool ALKActivityRequest::hasOnlyStateChanges() const {
  return saved_ && saved_->activity == attributes_.activity && saved_->timestamp == attributes_.timestamp &&
         saved_->urlString == attributes_.urlString && saved_->state != attributes_.state;
}

std::shared_ptr<ALKActivityRequest> ALKActivityRequest::snapshot() const {
  auto copy = std::make_shared<ALKActivityRequest>(objectID_, attributes_);
  copy->saved_ = saved_;
  return copy;
}

void ALKActivityRequest::didSave(std::shared_ptr<ALKActivityRequestID> objectID) {
  objectID_ = std::move(objectID);
  saved_ = attributes_;
}

void ALKActivityRequest::didLoseFile(std::shared_ptr<ALKActivityRequestID> temporaryID) {
  objectID_ = std::move(temporaryID);
  saved_.reset();
}

std::string ALKActivityRequest::description() const {
  return platform::format("%@ (%@) {timestamp: %.6f, state: %d, urlString: %@, activity: %@}",
                          platform::Object::description(), objectID_, attributes_.timestamp,
                          static_cast<int>(attributes_.state), attributes_.urlString.value_or("(null)"),
                          attributes_.activity);
}
