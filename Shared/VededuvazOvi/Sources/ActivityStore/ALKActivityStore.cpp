#include "ALKActivityStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <optional>

#include <SQLiteCpp/SQLiteCpp.h>

#include "ALKActivityToDataTransformer.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "Observation/NotificationCenter.h"

namespace {

constexpr std::size_t kRegisteredRowsKept = 128;
constexpr std::string_view kSelectRows =
    "SELECT Z_PK, ZSTATE, ZTIMESTAMP, ZURLSTRING, ZACTIVITY FROM ZACTIVITYREQUEST";
constexpr std::string_view kSelectRowsAtTimestamp =
    "SELECT Z_PK, ZSTATE, ZTIMESTAMP, ZURLSTRING, ZACTIVITY FROM ZACTIVITYREQUEST WHERE ZTIMESTAMP = ?";
constexpr std::string_view kSelectRowWithKey =
    "SELECT Z_PK, ZSTATE, ZTIMESTAMP, ZURLSTRING, ZACTIVITY FROM ZACTIVITYREQUEST WHERE Z_PK = ?";

// The texts of a statement whose clauses vary, each made once: a text is
// found by the bits of its clauses.
template <std::size_t N>
class StatementTexts {
 public:
  explicit StatementTexts(const std::function<std::string(std::size_t bits)>& make) {
    for (std::size_t bits = 0; bits < N; ++bits) texts_[bits] = make(bits);
  }
  std::string_view operator[](std::size_t bits) const { return texts_[bits]; }

 private:
  std::array<std::string, N> texts_;
};

// The extreme row of a group: the group without a URL string or a named one,
// with or without a timestamp, the latest or the earliest.
std::string_view extremeOfGroupSQL(bool named, bool timestamp, bool min) {
  static const StatementTexts<8> texts([](std::size_t bits) {
    return std::string("SELECT Z_PK, ZTIMESTAMP FROM ZACTIVITYREQUEST WHERE ZURLSTRING ") +
           (bits & 1 ? "= ?" : "IS NULL") + (bits & 2 ? " AND ZTIMESTAMP = ?" : "") +
           (bits & 4 ? " ORDER BY ZTIMESTAMP ASC, Z_PK ASC LIMIT 1" : " ORDER BY ZTIMESTAMP DESC, Z_PK DESC LIMIT 1");
  });
  return texts[(named ? 1 : 0) | (timestamp ? 2 : 0) | (min ? 4 : 0)];
}

// The URL string of the next group: the first, or the one after a named one.
std::string_view nextGroupSQL(bool after, bool timestamp) {
  static const StatementTexts<4> texts([](std::size_t bits) {
    return std::string("SELECT ZURLSTRING FROM ZACTIVITYREQUEST WHERE ZURLSTRING ") +
           (bits & 1 ? "> ?" : "IS NOT NULL") + (bits & 2 ? " AND ZTIMESTAMP = ?" : "") + " ORDER BY ZURLSTRING LIMIT 1";
  });
  return texts[(after ? 1 : 0) | (timestamp ? 2 : 0)];
}

// The count of rows, with or without a timestamp and a limit.
std::string_view countSQL(bool timestamp, bool bounded) {
  static const StatementTexts<4> texts([](std::size_t bits) {
    return std::string("SELECT count(*) FROM (SELECT 1 FROM ZACTIVITYREQUEST") +
           (bits & 1 ? " WHERE ZTIMESTAMP = ?" : "") + (bits & 2 ? " LIMIT ?" : "") + ")";
  });
  return texts[(timestamp ? 1 : 0) | (bounded ? 2 : 0)];
}

platform::Array snapshots(const std::vector<std::shared_ptr<ALKActivityRequest>>& rows) {
  platform::Array list;
  list.reserve(rows.size());
  for (const auto& row : rows) list.emplace_back(row->snapshot());
  return list;
}

}  // namespace

// The prepared statements of the connection, by their SQL text, found
// without a string made for the lookup.
struct ALKActivityStore::Statements {
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view sql) const { return std::hash<std::string_view>{}(sql); }
  };
  std::unordered_map<std::string, std::unique_ptr<SQLite::Statement>, Hash, std::equal_to<>> bySQL;
};

std::shared_ptr<ALKActivityStore> ALKActivityStore::activityStoreWithURL(const std::optional<platform::Url>& storeURL,
                                                                         const std::optional<std::string>& modelURL) {
  if (!storeURL || !storeURL->isFileUrl() || !modelURL || modelURL->empty()) {
    ALKLogIndent indent;
    ALKLog::error(ALKLogSource::forClass("ALKActivityStore"), "Invalid arguments");
    return nullptr;
  }
  return std::make_shared<ALKActivityStore>(Private(), *storeURL, *modelURL);
}

ALKActivityStore::ALKActivityStore(Private, platform::Url storeURL, std::string modelURL)
    : storeURL_(std::move(storeURL)), modelURL_(std::move(modelURL)), file_(storeURL_.filePath(), this) {
  ALKLogIndent indent;
  ALKLog::debug(this, "Init {url: %@}", storeURL_);
}

ALKActivityStore::~ALKActivityStore() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Dealloc");
  closeConnection();
}

namespace {

// The interval before the next try after `failures` failed ones.
std::chrono::milliseconds retryInterval(int failures) {
  return std::min<std::chrono::milliseconds>(
      ALKActivityStore::kFirstOpenRetryInterval * (std::int64_t{1} << std::min(std::max(failures - 1, 0), 16)),
      ALKActivityStore::kMaxOpenRetryInterval);
}

}  // namespace

SQLite::Database* ALKActivityStore::context() {
  if (skipUpdateContext_) return database_.get();
  if (failedOpens_ > 0 && clock_->now() < nextOpen_) return nullptr;
  ALKLogIndent indent;
  platform::ErrorPtr error;
  auto database = file_.open(*clock_, error);
  return useConnection(std::move(database), error);
}

SQLite::Database* ALKActivityStore::useConnection(std::unique_ptr<SQLite::Database> database,
                                                  const platform::ErrorPtr& error) {
  closeConnection();
  database_ = std::move(database);
  if (database_) {
    skipUpdateContext_ = true;
    failedOpens_ = 0;
    failedSaves_ = 0;
    openError_ = nullptr;
    fileGeneration_.fetch_add(1);
    statements_ = std::make_unique<Statements>();
    return database_.get();
  }
  openError_ = error;
  // A full disk, a lock held by another process, a folder in the way or a
  // file this user may not write may pass: tried again, ever less often. A
  // store of another model or version, or a path too long, stays what it is.
  skipUpdateContext_ = ALKActivityStoreFile::isLastingFailure(error);
  ++failedOpens_;
  nextOpen_ = platform::dispatchTime(clock_->now(), std::chrono::nanoseconds(retryInterval(failedOpens_)).count());
  return nullptr;
}

std::optional<platform::DispatchTime> ALKActivityStore::retryTime() const {
  if (!database_ && failedOpens_ > 0 && !skipUpdateContext_) return nextOpen_;
  if (database_ && failedSaves_ > 0) return nextSave_;
  return std::nullopt;
}

bool ALKActivityStore::moveToNextFile() {
  if (!database_) return false;
  closeConnection();
  holdRowsForTheNextFile();
  skipUpdateContext_ = false;
  failedOpens_ = 0;
  openError_ = nullptr;
  return context() != nullptr;
}

platform::ErrorPtr ALKActivityStore::followTheFileAtThePath() {
  platform::ErrorPtr error;
  switch (file_.presenceAtPath(error)) {
    case ALKActivityStoreFile::Presence::InUse:
      return nullptr;
    case ALKActivityStoreFile::Presence::Unknown:
      // Not known to be gone: the save fails, and is tried again.
      return error;
    case ALKActivityStoreFile::Presence::Gone:
      break;
  }
  // Opened while the connection in use still holds its file: no file made
  // meanwhile has its identity, so the file found at the path is the one in
  // use only if it is that file.
  bool stillInUse = false;
  auto next = file_.reopen(*clock_, error, stillInUse);
  if (stillInUse) {
    ALKLog::debug(this, "The store file is at its path after all {%@}", storePath());
    return nullptr;
  }
  // An open that may pass keeps the connection in use, and its file, until
  // a later save's open succeeds.
  if (!next && !ALKActivityStoreFile::isLastingFailure(error)) return error;
  // A cache cleaner: what this store holds goes into the file at the path;
  // the hits only in the removed file went with it.
  ALKLog::warning(this, "The store file is gone or replaced; saving into the file at its path {%@}", storePath());
  holdRowsForTheNextFile();
  failedOpens_ = 0;
  return useConnection(std::move(next), error) ? nullptr : unreachableError();
}

void ALKActivityStore::holdRowsForTheNextFile() {
  // The rows in memory are hits not sent yet, or on their way: each becomes
  // a new row of the next file, as it is now. Deletions pending are done.
  std::vector<std::shared_ptr<ALKActivityRequest>> kept;
  for (const auto& [key, row] : registered_) {
    if (!isPendingDeletion(key)) kept.push_back(row);
  }
  std::ranges::sort(kept, {}, [](const auto& row) { return row->objectID()->number(); });
  for (const auto& row : kept) {
    row->didLoseFile(ALKActivityRequestID::temporaryID(this, nextTemporaryID_++));
    inserted_.push_back(row);
  }
  registered_.clear();
  vanished_.insert(vanished_.end(), deleted_.begin(), deleted_.end());
  deleted_.clear();
}

platform::ErrorPtr ALKActivityStore::unreachableError() const {
  if (openError_) return openError_;
  return platform::Error::make(ALKSQLiteErrorDomain, SQLITE_MISUSE,
                               platform::Dictionary{{platform::Error::kLocalizedDescriptionKey, "store closed"},
                                                    {platform::Error::kFilePathKey, storePath()}});
}

void ALKActivityStore::closeConnection() {
  statements_.reset();
  if (database_) file_.willClose(*database_);
  database_.reset();
}

SQLite::Statement& ALKActivityStore::statement(std::string_view sql) {
  auto found = statements_->bySQL.find(sql);
  if (found == statements_->bySQL.end()) found = statements_->bySQL.emplace(sql, nullptr).first;
  auto& slot = found->second;
  if (!slot) {
    slot = std::make_unique<SQLite::Statement>(*database_, found->first);
  } else {
    // A step that failed left its error to the reset; it was reported then.
    slot->tryReset();
    slot->clearBindings();
  }
  return *slot;
}

namespace {

// Resets a read statement when the read is done with it: a statement that
// stopped before its last row keeps its read transaction open, and a write of
// another connection meanwhile would make the next save fail on the stale
// snapshot.
struct ResetAfterRead {
  SQLite::Statement& statement;
  ~ResetAfterRead() { statement.tryReset(); }
};

}  // namespace

bool ALKActivityStore::hasStoreData() const {
  if (database_) return true;
  std::error_code code;
  const auto status = std::filesystem::status(storePath(), code);
  return !code && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

bool ALKActivityStore::hasChanges() const {
  return !inserted_.empty() || !deleted_.empty() ||
         std::ranges::any_of(registered_, [](const auto& entry) { return entry.second->hasChanges(); });
}

void ALKActivityStore::postNotification(const char* name, const platform::Dictionary* underlying) {
  platform::Dictionary userInfo;
  if (underlying) userInfo.set(ALKActivityStoreUnderlyingNotificationKey, *underlying);
  platform::NotificationCenter::defaultCenter().post(name, this, userInfo);
}

void ALKActivityStore::writeChanges(const std::vector<std::shared_ptr<ALKActivityRequest>>& updated,
                                    std::vector<std::int64_t>& newKeys) {
  const auto bindAttributes = [&](SQLite::Statement& query, const ALKActivityRequest& row) {
    query.bind(1, static_cast<int>(row.state()));
    query.bind(2, row.timestamp());
    if (row.urlString()) {
      query.bind(3, *row.urlString());
    } else {
      query.bind(3);
    }
    if (const auto* data = row.activity() ? row.archive_.data() : nullptr) {
      query.bind(4, data->data(), static_cast<int>(data->size()));
    } else {
      query.bind(4);
    }
  };
  // Begun and committed through statements prepared once: every hit saves
  // three times.
  statement("BEGIN IMMEDIATE").exec();
  for (const auto& row : inserted_) {
    auto& insert = statement("INSERT INTO ZACTIVITYREQUEST (ZSTATE, ZTIMESTAMP, ZURLSTRING, ZACTIVITY) "
                             "VALUES (?, ?, ?, ?)");
    bindAttributes(insert, *row);
    insert.exec();
    newKeys.push_back(database_->getLastInsertRowid());
  }
  for (const auto& row : updated) {
    // A row being marked read changes its state only: the archive stays.
    if (row->hasOnlyStateChanges()) {
      auto& mark = statement("UPDATE ZACTIVITYREQUEST SET ZSTATE = ? WHERE Z_PK = ?");
      mark.bind(1, static_cast<int>(row->state()));
      mark.bind(2, row->objectID()->number());
      mark.exec();
      continue;
    }
    auto& update = statement("UPDATE ZACTIVITYREQUEST SET ZSTATE = ?, ZTIMESTAMP = ?, ZURLSTRING = ?, "
                             "ZACTIVITY = ? WHERE Z_PK = ?");
    bindAttributes(update, *row);
    update.bind(5, row->objectID()->number());
    update.exec();
  }
  for (const auto& row : deleted_) {
    auto& remove = statement("DELETE FROM ZACTIVITYREQUEST WHERE Z_PK = ?");
    remove.bind(1, row->objectID()->number());
    remove.exec();
  }
  statement("COMMIT").exec();
}

platform::ErrorPtr ALKActivityStore::roomForNewRows() {
  if (inserted_.empty()) return nullptr;
  // The new rows go into the journal, then into the file.
  std::int64_t rowBytes = 0;
  for (const auto& row : inserted_) {
    const auto* data = row->archive_.data();
    rowBytes += 2 * (static_cast<std::int64_t>(data ? data->size() : 0) + 128);
  }
  return file_.roomForNewRows(*database_, rowBytes);
}

bool ALKActivityStore::save(platform::ErrorPtr* error) {
  if (!database_) return false;
  ALKLogIndent indent;
  const auto changedRows = [&] {
    std::vector<std::shared_ptr<ALKActivityRequest>> rows;
    for (const auto& [key, row] : registered_) {
      if (row->hasChanges() && !isPendingDeletion(key)) rows.push_back(row);
    }
    return rows;
  };
  std::vector<std::shared_ptr<ALKActivityRequest>> updated = changedRows();
  if (error) *error = nullptr;
  if (inserted_.empty() && updated.empty() && deleted_.empty() && vanished_.empty()) return true;

  ALKLog::debug(this, "Activity context objects did change.");
  postNotification(ALKActivityStoreDidChangeNotification, nullptr);
  ALKLog::debug(this, "Activity context will save.");
  const platform::Dictionary willSave;
  postNotification(ALKActivityStoreWillSaveNotification, &willSave);

  // No row is written without the archive of its activity: one that cannot
  // be made fails the save before anything is written.
  const auto archiveRows = [&]() -> platform::ErrorPtr {
    for (const auto& rows : {&inserted_, &updated}) {
      for (const auto& row : *rows) {
        if (!row->activity() || row->hasOnlyStateChanges() || row->archivedActivity_ == row->activity()) continue;
        row->archive_ = ALKActivityRequest::activityTransformer().transformedValue(platform::Value(row->activity()));
        row->archivedActivity_ = row->archive_.isNil() ? nullptr : row->activity();
        if (row->archive_.isNil()) {
          return platform::Error::make(platform::Error::kCocoaErrorDomain, kALKActivityNotArchivableError);
        }
      }
    }
    return nullptr;
  };
  // The file at the path is the file in use, or the changes go into the file
  // there.
  const std::uint64_t file = fileGeneration_.load();
  platform::ErrorPtr failure = followTheFileAtThePath();
  // The rows it held are new rows of the next file now.
  if (fileGeneration_.load() != file) updated = changedRows();
  if (!failure) failure = archiveRows();
  if (!failure) failure = roomForNewRows();
  std::vector<std::int64_t> newKeys;
  for (bool recovered = false; !failure;) {
    try {
      writeChanges(updated, newKeys);
      break;
    } catch (const SQLite::Exception& exception) {
      // A failed step, or a commit that could not take its lock, leaves the
      // transaction open: nothing of it is kept.
      if (!sqlite3_get_autocommit(database_->getHandle())) database_->tryExec("ROLLBACK");
      failure = ALKActivityStoreFile::errorOf(exception);
    }
    // A file that answers as damaged, and still is at a second look, goes
    // aside, and the changes go into a new one. Any other failure, a read
    // that failed among them, is tried again on the store's schedule.
    if (recovered || !ALKActivityStoreFile::isDamageAnswer(failure) || !file_.confirmDamage()) break;
    ALKLog::error(this, "Unable to save changes: %@", failure);
    recovered = true;
    if (!moveToNextFile()) {
      failure = unreachableError();
      break;
    }
    updated = changedRows();
    newKeys.clear();
    failure = archiveRows();
  }
  if (failure) {
    ALKLog::error(this, "Unable to save changes: %@", failure);
    // The journal gives back what it can of a full disk before a later try.
    if (ALKActivityStoreFile::isDiskFull(failure) && database_) file_.giveBackJournalSpace(*database_);
    ++failedSaves_;
    nextSave_ = platform::dispatchTime(clock_->now(), std::chrono::nanoseconds(retryInterval(failedSaves_)).count());
    if (error) *error = failure;
    return false;
  }
  failedSaves_ = 0;

  for (std::size_t index = 0; index < inserted_.size(); ++index) {
    inserted_[index]->didSave(ALKActivityRequestID::permanentID(this, fileGeneration_.load(), newKeys[index]));
    registered_[newKeys[index]] = inserted_[index];
  }
  for (const auto& row : updated) row->didSave(row->objectID());
  // The file holds the archives now.
  for (const auto& rows : {&inserted_, &updated}) {
    for (const auto& row : *rows) {
      row->archive_ = platform::Value();
      row->archivedActivity_ = nullptr;
    }
  }
  for (const auto& row : deleted_) registered_.erase(row->objectID()->number());
  deleted_.insert(deleted_.end(), vanished_.begin(), vanished_.end());
  const platform::Dictionary didSave{{ALKInsertedObjectsKey, snapshots(inserted_)},
                                     {ALKUpdatedObjectsKey, snapshots(updated)},
                                     {ALKDeletedObjectsKey, snapshots(deleted_)}};
  inserted_.clear();
  deleted_.clear();
  vanished_.clear();
  // The rows stay known, so that reading back a hit just written decodes
  // nothing; past a bound, those nobody holds are read again when asked for.
  if (registered_.size() > kRegisteredRowsKept) {
    std::erase_if(registered_, [](const auto& entry) { return entry.second.use_count() == 1; });
  }
  ALKLog::debug(this, "Activity context did save.");
  postNotification(ALKActivityStoreDidSaveNotification, &didSave);
  return true;
}

bool ALKActivityStore::resetDataStore() {
  if (!database_) return false;
  ALKLogIndent indent;
  ALKLog::debug(this, "Reset.");
  inserted_.clear();
  deleted_.clear();
  vanished_.clear();
  registered_.clear();
  statements_.reset();
  if (sqlite3_stmt* open = sqlite3_next_stmt(database_->getHandle(), nullptr)) {
    const auto error = platform::Error::make(ALKSQLiteErrorDomain, SQLITE_BUSY,
                                             platform::Dictionary{{"statement", sqlite3_sql(open)}});
    ALKLog::error(this, "Unable to remove persistant store. %@", error);
    // The connection stays, and goes on with the file as it is.
    statements_ = std::make_unique<Statements>();
    return false;
  }
  closeConnection();
  // Whatever is left of the file, the next use opens it afresh: a store that
  // works, or one whose writes fail with the error of that open.
  skipUpdateContext_ = false;
  failedOpens_ = 0;
  nextOpen_ = platform::kDispatchTimeNow;
  openError_ = nullptr;
  return file_.remove();
}

void ALKActivityStore::close() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Close");
  skipUpdateContext_ = true;
  inserted_.clear();
  deleted_.clear();
  vanished_.clear();
  registered_.clear();
  closeConnection();
}

bool ALKActivityStore::isPendingDeletion(std::int64_t key) const {
  return std::ranges::any_of(deleted_, [key](const auto& row) { return row->objectID()->number() == key; });
}

std::shared_ptr<ALKActivityRequest> ALKActivityStore::rowFromStatement(SQLite::Statement& query) {
  const std::int64_t key = query.getColumn(0).getInt64();
  if (const auto found = registered_.find(key); found != registered_.end()) return found->second;
  ALKActivityRequest::Attributes attributes;
  attributes.state = static_cast<std::uint16_t>(query.getColumn(1).getInt());
  attributes.timestamp = query.getColumn(2).getDouble();
  if (!query.getColumn(3).isNull()) attributes.urlString = query.getColumn(3).getString();
  const SQLite::Column blob = query.getColumn(4);
  if (!blob.isNull()) {
    const auto* bytes = static_cast<const std::uint8_t*>(blob.getBlob());
    platform::Data data(bytes, bytes + blob.getBytes());
    attributes.activity =
        ALKActivityRequest::activityTransformer().reverseTransformedValue(platform::Value(std::move(data))).objectAs<ALKActivity>();
  }
  auto row = std::make_shared<ALKActivityRequest>(ALKActivityRequestID::permanentID(this, fileGeneration_.load(), key), std::move(attributes));
  registered_[key] = row;
  return row;
}

bool ALKActivityStore::readRecovering(const char* failureLine, platform::ErrorPtr* error,
                                      const std::function<void()>& read) {
  for (bool recovered = false;; recovered = true) {
    try {
      read();
      return true;
    } catch (const SQLite::Exception& exception) {
      const auto failure = ALKActivityStoreFile::errorOf(exception);
      ALKLog::error(this, failureLine, failure);
      // A file that answers as damaged, and still is at a second look, goes
      // aside; the read looks at the new one, which holds the rows in memory.
      if (recovered || !ALKActivityStoreFile::isDamageAnswer(failure) || !file_.confirmDamage() ||
          !moveToNextFile()) {
        if (error) *error = failure;
        return false;
      }
      save();
    }
  }
}

std::optional<std::vector<platform::Value>> ALKActivityStore::executeFetchRequest(const ALKFetchRequest& request,
                                                                                  platform::ErrorPtr* error,
                                                                                  const Transcoder& transcoder) {
  if (!context()) return std::nullopt;
  std::optional<std::vector<platform::Value>> results;
  if (!readRecovering("Failed to execute fetch request. %@", error,
                      [&] { results = request.grouped ? groupedFetch(request) : plainFetch(request); })) {
    return std::nullopt;
  }
  ALKLog::debug(this, "Found %zd object(s)", results->size());
  if (transcoder && !results->empty()) {
    std::vector<platform::Value> transcoded;
    transcoded.reserve(results->size());
    for (const auto& result : *results) {
      if (platform::Value value = transcoder(result); !value.isNil()) transcoded.push_back(std::move(value));
    }
    results = std::move(transcoded);
  }
  return results;
}

std::vector<platform::Value> ALKActivityStore::plainFetch(const ALKFetchRequest& request) {
  std::vector<platform::Value> rows;
  auto& query = statement(request.timestamp ? kSelectRowsAtTimestamp : kSelectRows);
  const ResetAfterRead done{query};
  if (request.timestamp) query.bind(1, *request.timestamp);
  while (query.executeStep()) {
    if (isPendingDeletion(query.getColumn(0).getInt64())) continue;
    auto row = rowFromStatement(query);
    if (request.matches(row->timestamp())) rows.emplace_back(std::move(row));
  }
  for (const auto& row : inserted_) {
    if (request.matches(row->timestamp())) rows.emplace_back(row);
  }
  return rows;
}

// The extreme row of each group is looked up directly through the index on
// (URL string, timestamp), so the cost does not grow with the rows of a group.
std::optional<std::vector<platform::Value>> ALKActivityStore::groupedFetch(const ALKFetchRequest& request) {
  const bool min = request.function == ALKFetchRequest::Function::Min;
  struct Group {
    std::int64_t key;
    double timestamp;
    std::optional<std::string> urlString;
  };
  std::vector<Group> groups;
  // The queries of the fetch read one snapshot of the file, whose locks are
  // taken once. The statement that ends the read is taken before the read
  // begins: preparing it may fail, which a destructor cannot report.
  struct EndRead {
    SQLite::Statement& commit;
    ~EndRead() {
      commit.tryExecuteStep();
      commit.tryReset();
    }
  };
  SQLite::Statement& commit = statement("COMMIT");
  statement("BEGIN").exec();
  const EndRead endRead{commit};
  const auto extreme = [&](const std::optional<std::string>& urlString) {
    auto& query = statement(extremeOfGroupSQL(urlString.has_value(), request.timestamp.has_value(), min));
    const ResetAfterRead done{query};
    int index = 1;
    if (urlString) query.bind(index++, *urlString);
    if (request.timestamp) query.bind(index, *request.timestamp);
    if (query.executeStep()) groups.push_back({query.getColumn(0).getInt64(), query.getColumn(1).getDouble(), urlString});
  };
  extreme(std::nullopt);
  std::optional<std::string> previous;
  for (;;) {
    auto& next = statement(nextGroupSQL(previous.has_value(), request.timestamp.has_value()));
    const ResetAfterRead done{next};
    int index = 1;
    if (previous) next.bind(index++, *previous);
    if (request.timestamp) next.bind(index, *request.timestamp);
    if (!next.executeStep()) break;
    previous = next.getColumn(0).getString();
    extreme(previous);
  }
  std::ranges::stable_sort(groups, [&](const Group& a, const Group& b) {
    return request.ascending ? a.timestamp < b.timestamp : a.timestamp > b.timestamp;
  });
  std::vector<platform::Value> results;
  for (std::size_t index = request.offset; index < groups.size() && results.size() < request.limit; ++index) {
    const Group& group = groups[index];
    platform::Dictionary result{{"objectID", ALKActivityRequestID::permanentID(this, fileGeneration_.load(), group.key)},
                                {"attr_timestamp", group.timestamp}};
    if (group.urlString) result.set("urlString", *group.urlString);
    results.emplace_back(std::move(result));
  }
  return results;
}

std::optional<std::size_t> ALKActivityStore::countForFetchRequest(const ALKFetchRequest& request,
                                                                  platform::ErrorPtr* error) {
  if (!context()) return 0;
  std::int64_t count = 0;
  const bool counted = readRecovering("Failed to execute fetch requests. %@", error, [&] {
    // A limit bounds the rows the file is asked to count; the pending
    // deletions may take that many away again.
    const bool bounded = request.limit != ALKFetchRequest::kNoLimit;
    auto& query = statement(countSQL(request.timestamp.has_value(), bounded));
    const ResetAfterRead done{query};
    int index = 1;
    if (request.timestamp) query.bind(index++, *request.timestamp);
    if (bounded) query.bind(index, static_cast<std::int64_t>(std::min<std::size_t>(request.limit + deleted_.size(), INT64_MAX)));
    query.executeStep();
    count = query.getColumn(0).getInt64();
  });
  if (!counted) return std::nullopt;
  // The unsaved changes count as the context sees them.
  for (const auto& row : deleted_) count -= request.matches(row->timestamp()) ? 1 : 0;
  for (const auto& row : inserted_) count += request.matches(row->timestamp()) ? 1 : 0;
  return std::min(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)), request.limit);
}

ALKActivityStore::Transcoder ALKActivityStore::managedObjectIdToObjectTranscodeBlock() {
  return [this](const platform::Value& result) -> platform::Value {
    const auto* dictionary = result.dictionary();
    const auto objectID = dictionary ? dictionary->objectForKey("objectID").objectAs<ALKActivityRequestID>() : nullptr;
    return objectID ? platform::Value(objectWithID(objectID)) : platform::Value();
  };
}

std::shared_ptr<ALKActivityRequest> ALKActivityStore::objectWithID(const std::shared_ptr<ALKActivityRequestID>& objectID) {
  if (!objectID || objectID->store() != this || !context()) return nullptr;
  if (!objectID->isTemporaryID() && objectID->file() != fileGeneration_.load()) return nullptr;
  if (objectID->isTemporaryID()) {
    const auto found = std::ranges::find_if(inserted_, [&](const auto& row) { return row->objectID()->isEqual(*objectID); });
    return found == inserted_.end() ? nullptr : *found;
  }
  if (const auto found = registered_.find(objectID->number()); found != registered_.end()) return found->second;
  std::shared_ptr<ALKActivityRequest> row;
  const std::uint64_t file = objectID->file();
  readRecovering("Failed to execute fetch request. %@", nullptr, [&] {
    // A row of a damaged file that went aside is in no file.
    if (file != fileGeneration_.load()) return;
    auto& query = statement(kSelectRowWithKey);
    const ResetAfterRead done{query};
    query.bind(1, objectID->number());
    if (query.executeStep()) row = rowFromStatement(query);
  });
  return row;
}

std::shared_ptr<ALKActivityRequest> ALKActivityStore::existingObjectWithID(
    const std::shared_ptr<ALKActivityRequestID>& objectID, platform::ErrorPtr* error) {
  auto row = objectWithID(objectID);
  if (!row && error) {
    *error = platform::Error::make(platform::Error::kCocoaErrorDomain, kALKObjectNotFoundError);
  }
  return row;
}

bool ALKActivityStore::removeExistingObjectWithID(const std::shared_ptr<ALKActivityRequestID>& objectID) {
  if (!objectID) return false;
  ALKLogIndent indent;
  platform::ErrorPtr error;
  const auto row = existingObjectWithID(objectID, &error);
  if (!row) {
    ALKLog::error(this, "Unable to remove object {id: %@}", objectID);
    return false;
  }
  deleteObject(row);
  ALKLog::debug(this, "Did remove %@", row);
  return true;
}

std::shared_ptr<ALKActivityRequest> ALKActivityStore::insertNewActivityRequest() {
  if (!context()) return nullptr;
  auto row = std::make_shared<ALKActivityRequest>(ALKActivityRequestID::temporaryID(this, nextTemporaryID_++),
                                                  ALKActivityRequest::Attributes{});
  inserted_.push_back(row);
  return row;
}

void ALKActivityStore::deleteObject(const std::shared_ptr<ALKActivityRequest>& row) {
  if (!row) return;
  if (row->objectID()->isTemporaryID()) {
    std::erase(inserted_, row);
  } else if (!isPendingDeletion(row->objectID()->number())) {
    deleted_.push_back(row);
  }
}

std::optional<std::size_t> ALKActivityStore::countActivityRequestsInFile(const std::string& path) {
  return ALKActivityStoreFile::countRows(path);
}
