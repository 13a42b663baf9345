// Queries built from arbitrary activities: property names of the table and
// others, values of every kind (text with invalid UTF-8, huge and
// non-finite numbers, data, dates, URLs, nulls), and handlers that stop or
// go on. The text must stay a well-formed query, whatever was reported.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ALKGAMeasurementActivityDescription.h"
#include "ALKGAMeasurementActivityPropertyDescription.h"
#include "ALKMeasurementURLQuery.h"
#include "Values/Dictionary.h"

namespace {

platform::Value fuzzedValue(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange(0, 9)) {
    case 0: return input.ConsumeRandomLengthString(300);
    case 1: return input.ConsumeIntegral<std::int64_t>();
    case 2: return input.ConsumeIntegral<std::uint64_t>();
    case 3: {
      // Raw bits: infinities, NaNs and the extremes as well.
      const std::uint64_t bits = input.ConsumeIntegral<std::uint64_t>();
      double number;
      static_assert(sizeof number == sizeof bits);
      __builtin_memcpy(&number, &bits, sizeof number);
      return number;
    }
    case 4: return input.ConsumeBool();
    case 5: return platform::Value::null();
    case 6: return platform::Data{1, 2, 3};
    case 7: return platform::Date(input.ConsumeFloatingPoint<double>());
    case 8: return platform::Url::fromString("http://a.example/p?q=1").value();
    default: return platform::Array{input.ConsumeRandomLengthString(20)};
  }
}

// Every byte is an unreserved character, part of an escape, "&" or "=".
bool isWellFormed(const std::string& query) {
  for (std::size_t i = 0; i < query.size(); ++i) {
    const char c = query[i];
    if (c == '%') {
      if (i + 2 >= query.size() || !std::isxdigit(static_cast<unsigned char>(query[i + 1])) ||
          !std::isxdigit(static_cast<unsigned char>(query[i + 2]))) {
        return false;
      }
      i += 2;
    } else if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("-._~&=", c)) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto* descriptions = new ALKMeasurementDescriptions(ALKGAMeasurementActivityDescription::supportedDescriptions());
  static const auto* names = [] {
    auto* list = new std::vector<std::string>{"timestamp", "cacheBuster", "unknown", "activityType"};
    for (const auto& [name, description] : ALKGAMeasurementActivityPropertyDescription::supportedDescriptions()) {
      list->push_back(name);
    }
    return list;
  }();
  static const char* const kTypes[] = {"AppView", "PageView", "Event", "Exception", "Social", "Timing", "Other"};

  FuzzedDataProvider input(data, size);
  auto activity = std::make_shared<ALKActivity>();
  if (input.ConsumeBool()) activity->setValue(kTypes[input.ConsumeIntegralInRange<std::size_t>(0, 6)], "activityType");
  const bool goOn = input.ConsumeBool();
  while (input.remaining_bytes() > 0) {
    const std::string& name = (*names)[input.ConsumeIntegralInRange<std::size_t>(0, names->size() - 1)];
    activity->setValue(fuzzedValue(input), name);
  }

  int reports = 0;
  const std::string query = ALKMeasurementURLQuery::queryWithActivity(activity, *descriptions)
                                ->queryWithErrorHandler([&](const platform::ErrorPtr& error, bool& stop) {
                                  if (!error || error->code() < -104 || error->code() > -100) std::abort();
                                  ++reports;
                                  stop = !goOn;
                                });
  if (!isWellFormed(query) || (!goOn && reports > 1)) std::abort();
  return 0;
}
