#include "ALKActivityRequestID.h"

#include <functional>

#include "Text/Format.h"

std::shared_ptr<ALKActivityRequestID> ALKActivityRequestID::permanentID(const void* store, std::uint64_t file,
                                                                        std::int64_t key) {
  return std::make_shared<ALKActivityRequestID>(Private(), store, file, key, false);
}

std::shared_ptr<ALKActivityRequestID> ALKActivityRequestID::temporaryID(const void* store, std::int64_t serial) {
  return std::make_shared<ALKActivityRequestID>(Private(), store, 0, serial, true);
}

ALKActivityRequestID::ALKActivityRequestID(Private, const void* store, std::uint64_t file, std::int64_t number,
                                           bool temporary)
    : store_(store), file_(file), number_(number), temporary_(temporary) {}

bool ALKActivityRequestID::isEqual(const platform::Object& other) const {
  const auto* id = dynamic_cast<const ALKActivityRequestID*>(&other);
  return id && id->store_ == store_ && id->file_ == file_ && id->number_ == number_ && id->temporary_ == temporary_;
}

std::size_t ALKActivityRequestID::hash() const {
  return std::hash<std::int64_t>()(number_) ^ (temporary_ ? 0x9e3779b9u : 0u);
}

std::string ALKActivityRequestID::description() const {
  return platform::format("<ActivityRequest %@%lld>", temporary_ ? "t" : "p", static_cast<long long>(number_));
}
