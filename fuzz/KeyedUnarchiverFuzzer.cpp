// Untrusted bytes into the keyed unarchiver (as a damaged store file would
// hand them over), through the activity transformer and on their own, and
// into the property-list reader. A decoded activity must archive again and
// read back.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "ALKActivity.h"
#include "ALKActivityToDataTransformer.h"
#include "Archiving/KeyedUnarchiver.h"
#include "Archiving/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const ALKActivityToDataTransformer transformer;
  const platform::Value decoded = transformer.reverseTransformedValue(platform::Value(platform::Data(bytes.begin(), bytes.end())));
  if (const auto activity = decoded.objectAs<ALKActivity>()) {
    (void)activity->description();
    const platform::Value again = transformer.transformedValue(decoded);
    if (again.isNil() || !transformer.reverseTransformedValue(again).objectAs<ALKActivity>()) std::abort();
  }

  platform::ErrorPtr error;
  const platform::Value plain = platform::KeyedUnarchiver::unarchivedObject(bytes, {}, &error);
  if (!plain.isNil() && error) std::abort();  // a value or an error, never both
  (void)platform::PropertyList::read(bytes).description();
  return 0;
}
