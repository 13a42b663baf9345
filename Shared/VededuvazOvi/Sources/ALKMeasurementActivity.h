#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ALKActivity.h"
#include "Values/Size.h"

// Hit kinds, stored under "activityType".
inline constexpr const char* ALKGAActivityTypeAppView = "AppView";
inline constexpr const char* ALKGAActivityTypePageView = "PageView";
inline constexpr const char* ALKGAActivityTypeEvent = "Event";
inline constexpr const char* ALKGAActivityTypeSocial = "Social";
inline constexpr const char* ALKGAActivityTypeTiming = "Timing";
inline constexpr const char* ALKGAActivityTypeException = "Exception";

// The measurement view of an activity: typed accessors over its property
// bag, one key each, and the factories of measurement hits. Text setters
// with nullopt remove the key; scalar setters store a number of their kind
// and never remove it; getters of absent scalars read 0 or false. Sizes are
// stored as their text "{w, h}". Durations are in seconds. Used on the
// thread that owns the activity.
class ALKMeasurementActivity {
 public:
  using Text = std::optional<std::string>;

  explicit ALKMeasurementActivity(ALKActivity& activity) : activity_(activity) {}

  std::int64_t protocolVersion() const { return integer("protocolVersion"); }
  void setProtocolVersion(std::int64_t version) { set("protocolVersion", version); }
  Text trackingId() const { return text("trackingId"); }
  void setTrackingId(Text id) { setText("trackingId", std::move(id)); }
  bool shouldAnonymizeIP() const { return boolean("shouldAnonymizeIP"); }
  void setShouldAnonymizeIP(bool anonymize) { set("shouldAnonymizeIP", anonymize); }
  // Milliseconds.
  std::uint64_t queueTime() const;
  void setQueueTime(std::uint64_t milliseconds) { set("queueTime", milliseconds); }
  // Stored as given.
  platform::Value cacheBuster() const { return activity_.valueForProperty("cacheBuster"); }
  void setCacheBuster(platform::Value value) { activity_.setValue(std::move(value), "cacheBuster"); }
  Text clientId() const { return text("clientId"); }
  void setClientId(Text id) { setText("clientId", std::move(id)); }
  Text sessionControl() const { return text("sessionControl"); }
  void setSessionControl(Text control) { setText("sessionControl", std::move(control)); }

  Text userId() const { return text("userId"); }
  void setUserId(Text id) { setText("userId", std::move(id)); }
  Text IPOverride() const { return text("IPOverride"); }
  void setIPOverride(Text address) { setText("IPOverride", std::move(address)); }
  Text userAgentOverride() const { return text("userAgentOverride"); }
  void setUserAgentOverride(Text agent) { setText("userAgentOverride", std::move(agent)); }

  platform::Size screenResolution() const { return size("screenResolution"); }
  void setScreenResolution(platform::Size size) { set("screenResolution", size.description()); }
  platform::Size viewportSize() const { return size("viewportSize"); }
  void setViewportSize(platform::Size size) { set("viewportSize", size.description()); }
  Text documentEncoding() const { return text("documentEncoding"); }
  void setDocumentEncoding(Text encoding) { setText("documentEncoding", std::move(encoding)); }
  std::int32_t screenColors() const { return activity_.valueForProperty("screenColors").intValue(); }
  void setScreenColors(std::int32_t bits) { set("screenColors", bits); }
  Text userLanguage() const { return text("userLanguage"); }
  void setUserLanguage(Text language) { setText("userLanguage", std::move(language)); }
  bool isJavaEnabled() const { return boolean("javaEnabled"); }
  void setJavaEnabled(bool enabled) { set("javaEnabled", enabled); }
  Text flashVersion() const { return text("flashVersion"); }
  void setFlashVersion(Text version) { setText("flashVersion", std::move(version)); }

  Text activityType() const { return text(ALKActivity::kActivityTypeKey); }
  bool nonInteractive() const { return boolean("nonInteractive"); }
  void setNonInteractive(bool nonInteractive) { set("nonInteractive", nonInteractive); }

  Text documentReferrer() const { return text("documentReferrer"); }
  void setDocumentReferrer(Text referrer) { setText("documentReferrer", std::move(referrer)); }
  Text campaignName() const { return text("campaignName"); }
  void setCampaignName(Text name) { setText("campaignName", std::move(name)); }
  Text campaignSource() const { return text("campaignSource"); }
  void setCampaignSource(Text source) { setText("campaignSource", std::move(source)); }
  Text campaignMedium() const { return text("campaignMedium"); }
  void setCampaignMedium(Text medium) { setText("campaignMedium", std::move(medium)); }
  Text campaignKeyword() const { return text("campaignKeyword"); }
  void setCampaignKeyword(Text keyword) { setText("campaignKeyword", std::move(keyword)); }
  Text campaignContent() const { return text("campaignContent"); }
  void setCampaignContent(Text content) { setText("campaignContent", std::move(content)); }
  Text campaignId() const { return text("campaignId"); }
  void setCampaignId(Text id) { setText("campaignId", std::move(id)); }
  Text googleAdWordsId() const { return text("googleAdWordsId"); }
  void setGoogleAdWordsId(Text id) { setText("googleAdWordsId", std::move(id)); }
  Text googleDisplayAdsId() const { return text("googleDisplayAdsId"); }
  void setGoogleDisplayAdsId(Text id) { setText("googleDisplayAdsId", std::move(id)); }

  Text documentLocationURL() const { return text("documentLocationURL"); }
  void setDocumentLocationURL(Text url) { setText("documentLocationURL", std::move(url)); }
  Text documentHostName() const { return text("documentHostName"); }
  void setDocumentHostName(Text host) { setText("documentHostName", std::move(host)); }
  Text documentPath() const { return text("documentPath"); }
  // A path that does not begin with "/" is ignored; nullopt removes it.
  void setDocumentPath(Text path);
  Text documentTitle() const { return text("documentTitle"); }
  void setDocumentTitle(Text title) { setText("documentTitle", std::move(title)); }
  Text contentDescription() const { return text("contentDescription"); }
  void setContentDescription(Text description) { setText("contentDescription", std::move(description)); }
  Text screenName() const { return text("screenName"); }
  void setScreenName(Text name) { setText("screenName", std::move(name)); }

  Text appName() const { return text("appName"); }
  void setAppName(Text name) { setText("appName", std::move(name)); }
  Text appVersion() const { return text("appVersion"); }
  void setAppVersion(Text version) { setText("appVersion", std::move(version)); }
  Text applicationIdentifier() const { return text("applicationIdentifier"); }
  void setApplicationIdentifier(Text id) { setText("applicationIdentifier", std::move(id)); }
  Text applicationInstallerIdentifier() const { return text("applicationInstallerIdentifier"); }
  void setApplicationInstallerIdentifier(Text id) { setText("applicationInstallerIdentifier", std::move(id)); }

  Text eventCategory() const { return text("eventCategory"); }
  void setEventCategory(Text category) { setText("eventCategory", std::move(category)); }
  Text eventAction() const { return text("eventAction"); }
  void setEventAction(Text action) { setText("eventAction", std::move(action)); }
  Text eventLabel() const { return text("eventLabel"); }
  void setEventLabel(Text label) { setText("eventLabel", std::move(label)); }
  std::int64_t eventValue() const { return integer("eventValue"); }
  // A negative value is ignored.
  void setEventValue(std::int64_t value);

  Text socialNetwork() const { return text("socialNetwork"); }
  void setSocialNetwork(Text network) { setText("socialNetwork", std::move(network)); }
  Text socialAction() const { return text("socialAction"); }
  void setSocialAction(Text action) { setText("socialAction", std::move(action)); }
  Text socialActionTarget() const { return text("socialActionTarget"); }
  void setSocialActionTarget(Text target) { setText("socialActionTarget", std::move(target)); }

  Text timingCategory() const { return text("timingCategory"); }
  void setTimingCategory(Text category) { setText("timingCategory", std::move(category)); }
  Text timingVariable() const { return text("timingVariable"); }
  void setTimingVariable(Text variable) { setText("timingVariable", std::move(variable)); }
  double timingDuration() const { return number("timingDuration"); }
  void setTimingDuration(double seconds) { set("timingDuration", seconds); }
  Text timingLabel() const { return text("timingLabel"); }
  void setTimingLabel(Text label) { setText("timingLabel", std::move(label)); }
  double pageLoadDuration() const { return number("pageLoadDuration"); }
  void setPageLoadDuration(double seconds) { set("pageLoadDuration", seconds); }
  double DNSLookupDuration() const { return number("DNSLookupDuration"); }
  void setDNSLookupDuration(double seconds) { set("DNSLookupDuration", seconds); }
  double pageDownloadDuration() const { return number("pageDownloadDuration"); }
  void setPageDownloadDuration(double seconds) { set("pageDownloadDuration", seconds); }
  double redirectResponseDuration() const { return number("redirectResponseDuration"); }
  void setRedirectResponseDuration(double seconds) { set("redirectResponseDuration", seconds); }
  double TCPConnectDuration() const { return number("TCPConnectDuration"); }
  void setTCPConnectDuration(double seconds) { set("TCPConnectDuration", seconds); }
  double serverResponseDuration() const { return number("serverResponseDuration"); }
  void setServerResponseDuration(double seconds) { set("serverResponseDuration", seconds); }

  Text exceptionDescription() const { return text("exceptionDescription"); }
  void setExceptionDescription(Text description) { setText("exceptionDescription", std::move(description)); }
  bool isExceptionFatal() const { return boolean("exceptionFatal"); }
  void setExceptionFatal(bool fatal) { set("exceptionFatal", fatal); }

  // Factories. A failed check logs ERROR "Invalid arguments" and gives
  // nullptr.
  // Category and action non-empty; the label when non-empty, the value when
  // not negative.
  static std::shared_ptr<ALKActivity> eventActivity(const Text& category, const Text& action, const Text& label,
                                                    std::int64_t value = -1);
  static std::shared_ptr<ALKActivity> pageViewActivity(const Text& page, const Text& title);
  // Screen name and content description, both `screenName`.
  static std::shared_ptr<ALKActivity> appViewActivity(const Text& screenName);
  // Network and action non-empty, target present.
  static std::shared_ptr<ALKActivity> socialActivity(const Text& network, const Text& action, const Text& target);
  // Category non-empty, duration above 0; name and label when non-empty.
  static std::shared_ptr<ALKActivity> timingActivity(const Text& category, double duration, const Text& name,
                                                     const Text& label);
  static std::shared_ptr<ALKActivity> exceptionActivity(const Text& description, bool fatal = true);
  // "AppView", "PageView", "Event" (which fails its check) and "Exception"
  // through their factories with nothing set; any other type bare.
  static std::shared_ptr<ALKActivity> googleAnalyticsActivity(const std::string& type);
  // A new activity holding only `type`.
  static std::shared_ptr<ALKActivity> activityWithType(const std::string& type);

 private:
  Text text(const char* key) const;
  void setText(const char* key, Text value);
  std::int64_t integer(const char* key) const { return activity_.valueForProperty(key).integerValue(); }
  bool boolean(const char* key) const { return activity_.valueForProperty(key).boolValue(); }
  double number(const char* key) const { return activity_.valueForProperty(key).doubleValue(); }
  platform::Size size(const char* key) const;
  void set(const char* key, platform::Value value) { activity_.setValue(std::move(value), key); }

  ALKActivity& activity_;
};
