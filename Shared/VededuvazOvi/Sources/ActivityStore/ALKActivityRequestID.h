#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Values/Object.h"

// Names one row of one activity store: temporary (a serial number) from the
// insertion until the save that writes the row, permanent (the row's key in
// one file of the store) from then on. IDs of different stores, or of files
// the store made one after the other, are never equal. Immutable, so any
// thread may compare or describe one.
class ALKActivityRequestID : public platform::Object {
  struct Private {
    explicit Private() = default;
  };

 public:
  // `file` counts the files the store has made at its path (ALKActivityStore::fileGeneration).
  static std::shared_ptr<ALKActivityRequestID> permanentID(const void* store, std::uint64_t file, std::int64_t key);
  static std::shared_ptr<ALKActivityRequestID> temporaryID(const void* store, std::int64_t serial);

  ALKActivityRequestID(Private, const void* store, std::uint64_t file, std::int64_t number, bool temporary);

  bool isTemporaryID() const { return temporary_; }
  // The row's key for a permanent ID, the serial number for a temporary one.
  std::int64_t number() const { return number_; }
  const void* store() const { return store_; }
  std::uint64_t file() const { return file_; }

  bool isEqual(const platform::Object& other) const override;
  std::size_t hash() const override;
  // "<ActivityRequest p12>", or "t3" for a temporary ID.
  std::string description() const override;

 private:
  const void* const store_;
  const std::uint64_t file_;
  const std::int64_t number_;
  const bool temporary_;
};
