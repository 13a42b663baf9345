#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Values/Object.h"

// Names one row of one activity store: temporary (a serial number) from the
// insertion until the save that writes the row, permanent (the row's key in
// the file) from then on. IDs of different stores are never equal. Immutable,
// so any thread may compare or describe one.
class ALKActivityRequestID : public platform::Object {
  struct Private {
    explicit Private() = default;
  };

 public:
  static std::shared_ptr<ALKActivityRequestID> permanentID(const void* store, std::int64_t key);
  static std::shared_ptr<ALKActivityRequestID> temporaryID(const void* store, std::int64_t serial);

  ALKActivityRequestID(Private, const void* store, std::int64_t number, bool temporary);

  bool isTemporaryID() const { return temporary_; }
  // The row's key for a permanent ID, the serial number for a temporary one.
  std::int64_t number() const { return number_; }
  const void* store() const { return store_; }

  bool isEqual(const platform::Object& other) const override;
  std::size_t hash() const override;
  // "<ActivityRequest p12>", or "t3" for a temporary ID.
  std::string description() const override;

 private:
  const void* const store_;
  const std::int64_t number_;
  const bool temporary_;
};
