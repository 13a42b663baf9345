#include "ALKGAMeasurementActivityDescription.h"

#include "ALKGAMeasurementActivityPropertyDescription.h"
#include "ALKMeasurementActivity.h"

namespace {

std::vector<ALKMeasurementActivityPropertyDescriptionPtr> descriptionsOf(
    const ALKMeasurementPropertyTable& table, std::initializer_list<const char*> properties) {
  std::vector<ALKMeasurementActivityPropertyDescriptionPtr> descriptions;
  for (const char* property : properties) {
    if (const auto found = table.find(property); found != table.end()) descriptions.push_back(found->second);
  }
  return descriptions;
}

}  // namespace

ALKMeasurementDescriptions ALKGAMeasurementActivityDescription::supportedDescriptions() {
  const auto table = ALKGAMeasurementActivityPropertyDescription::supportedDescriptions();
  const auto common = descriptionsOf(table, {"protocolVersion", "trackingId", "clientId", ALKActivity::kActivityTypeKey});
  auto social = common;
  for (auto& description : descriptionsOf(table, {"socialNetwork", "socialAction", "socialActionTarget"})) {
    social.push_back(std::move(description));
  }
  ALKMeasurementDescriptions descriptions;
  for (const char* type : {ALKGAActivityTypeAppView, ALKGAActivityTypePageView, ALKGAActivityTypeEvent,
                           ALKGAActivityTypeException, ALKGAActivityTypeSocial, ALKGAActivityTypeTiming}) {
    const bool isSocial = std::string_view(type) == ALKGAActivityTypeSocial;
    descriptions[type] = std::make_shared<ALKMeasurementActivityDescription>(type, isSocial ? social : common, table);
  }
  return descriptions;
}
