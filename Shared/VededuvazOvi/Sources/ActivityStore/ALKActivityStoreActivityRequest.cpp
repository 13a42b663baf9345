// The row operations of ALKActivityStore that the store filters use. None of
// them saves; the caller does.

#include <algorithm>
#include <cmath>

#include "ALKActivityStore.h"
#include "ALKActivityToDataTransformer.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"

std::optional<std::size_t> ALKActivityStore::countActivityRequestsWithPredicate(std::optional<double> timestamp,
                                                                                platform::ErrorPtr* error,
                                                                                std::size_t limit) {
  if (!hasStoreData()) return 0;
  ALKFetchRequest request;
  request.timestamp = timestamp;
  request.limit = limit;
  return countForFetchRequest(request, error);
}

std::size_t ALKActivityStore::numberOfActivityRequests() {
  return countActivityRequestsWithPredicate(std::nullopt).value_or(0);
}

ALKFetchRequest ALKActivityStore::fetchRequestForEarliestActivityRequests(std::optional<double> timestamp,
                                                                          std::size_t offset, std::size_t limit) {
  return {timestamp, true, ALKFetchRequest::Function::Min, true, offset, limit};
}

ALKFetchRequest ALKActivityStore::fetchRequestForLatestActivityRequests(std::optional<double> timestamp,
                                                                        std::size_t offset, std::size_t limit) {
  return {timestamp, true, ALKFetchRequest::Function::Max, false, offset, limit};
}

std::optional<std::vector<std::shared_ptr<ALKActivityRequest>>> ALKActivityStore::rowsOfGroupedFetch(
    const ALKFetchRequest& request) {
  if (!hasStoreData()) return std::nullopt;
  ALKLogIndent indent;
  // The count only tells the DEBUG line; counting past the offset would
  // tell nothing more.
  if (ALKLogger::sharedLogger()->wouldLog(ALKLog::kTaggedLineLevel)) {
    const auto count = countActivityRequestsWithPredicate(std::nullopt, nullptr, request.offset + 1);
    if (count.value_or(0) <= request.offset) ALKLog::debug(this, "No exceeded activity requests.");
  }
  platform::ErrorPtr error;
  const auto results = executeFetchRequest(request, &error, managedObjectIdToObjectTranscodeBlock());
  if (error) ALKLog::error(this, "Unable to fetch exceeded activity requests. %@", error);
  if (!results || results->empty()) return std::nullopt;
  std::vector<std::shared_ptr<ALKActivityRequest>> rows;
  rows.reserve(results->size());
  for (const auto& result : *results) rows.push_back(result.objectAs<ALKActivityRequest>());
  return rows;
}

std::optional<std::vector<std::shared_ptr<ALKActivityRequest>>> ALKActivityStore::earliestActivityRequests(
    std::optional<double> timestamp, std::size_t offset, std::size_t limit) {
  return rowsOfGroupedFetch(fetchRequestForEarliestActivityRequests(timestamp, offset, limit));
}

std::optional<std::vector<std::shared_ptr<ALKActivityRequest>>> ALKActivityStore::latestActivityRequests(
    std::optional<double> timestamp, std::size_t offset, std::size_t limit) {
  return rowsOfGroupedFetch(fetchRequestForLatestActivityRequests(timestamp, offset, limit));
}

std::shared_ptr<ALKActivityRequest> ALKActivityStore::earliestActivityRequest(std::optional<double> timestamp) {
  const auto rows = earliestActivityRequests(timestamp, 0, 1);
  return rows ? rows->front() : nullptr;
}

std::shared_ptr<ALKActivityRequest> ALKActivityStore::latestActivityRequest(std::optional<double> timestamp) {
  const auto rows = latestActivityRequests(timestamp, 0, 1);
  return rows ? rows->front() : nullptr;
}

std::shared_ptr<ALKActivityRequest> ALKActivityStore::activityRequestWithTimestamp(double timestamp) {
  if (!hasStoreData()) return nullptr;
  ALKFetchRequest request;
  request.timestamp = timestamp;
  const auto results = executeFetchRequest(request);
  if (!results || results->empty()) return nullptr;
  // Of two rows with one timestamp, the one already read is the one whose
  // hit has been sent.
  const auto read = std::ranges::find_if(
      *results, [](const platform::Value& row) { return row.objectAs<ALKActivityRequest>()->state() == 1; });
  return (read != results->end() ? *read : results->front()).objectAs<ALKActivityRequest>();
}

std::shared_ptr<ALKActivityRequest> ALKActivityStore::addRequestWithActivity(
    const std::shared_ptr<ALKActivity>& activity, const std::optional<std::string>& urlString, double timestamp,
    platform::ErrorPtr* error) {
  ALKLogIndent indent;
  const auto fail = [&](platform::ErrorPtr failure) -> std::shared_ptr<ALKActivityRequest> {
    ALKLog::error(this, "Unable to add new activity request.");
    if (error) *error = std::move(failure);
    return nullptr;
  };
  // A write that cannot reach the file fails, so that its hit is kept.
  if (!context()) return fail(unreachableError());
  std::optional<std::size_t> count;
  if (capacity_ != 0) {
    count = countActivityRequestsWithPredicate(std::nullopt, error, capacity_);
    // A count that failed says nothing about the capacity.
    if (!count) return nullptr;
    if (*count >= capacity_) {
      ALKLog::error(this, "Unable to add new activity request. Exceeded capacity {capacity: %zd}", capacity_);
      return nullptr;
    }
  }

  // A stamp that is not finite would be stored as NULL or never be found
  // again: the present time stands in for it.
  const bool hasOwnStamp = activity && !activity->valueForProperty(ALKActivity::kTimestampKey).isNil();
  const bool ownStampUsable = hasOwnStamp && std::isfinite(activity->timestamp());
  if (!(std::isfinite(timestamp) && timestamp > 0.0)) {
    timestamp = ownStampUsable ? activity->timestamp() : ALKActivity::currentTimestamp();
  }
  std::shared_ptr<ALKActivity> stored = ALKActivityToDataTransformer::archivableActivity(activity);
  if (hasOwnStamp && !ownStampUsable) {
    // The remove stage finds the row by the activity's stamp.
    if (stored == activity) stored = std::static_pointer_cast<ALKActivity>(activity->copy());
    stored->setTimestamp(timestamp);
  }
  platform::Value archive;
  if (stored) {
    archive = ALKActivityRequest::activityTransformer().transformedValue(platform::Value(stored));
    if (archive.isNil()) {
      return fail(platform::Error::make(platform::Error::kCocoaErrorDomain, kALKActivityNotArchivableError));
    }
  }

  auto row = insertNewActivityRequest();
  row->setTimestamp(timestamp);
  row->setActivity(stored);
  row->archivedActivity_ = std::move(stored);
  row->archive_ = std::move(archive);
  row->setUrlString(urlString);
  if (count) {
    ALKLog::debug(this, "Did insert {amount: %zd, %@} ", *count + 1, row);
  } else {
    ALKLog::debug(this, "Did insert %@", row);
  }
  return row;
}

bool ALKActivityStore::removeActivityRequestWithTimestamp(double timestamp) {
  const auto row = activityRequestWithTimestamp(timestamp);
  if (!row) return false;
  removeActivityRequest(row);
  return true;
}

void ALKActivityStore::removeActivityRequest(const std::shared_ptr<ALKActivityRequest>& row) {
  if (!row || !hasStoreData()) return;
  ALKLogIndent indent;
  deleteObject(row);
  ALKLog::debug(this, "Did remove %@", row);
}
