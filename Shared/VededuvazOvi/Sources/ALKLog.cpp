#include "ALKLog.h"

std::string ALKLogSource::className() const { return object_ ? object_->className() : std::string(className_); }

void ALKLog::submit(IALKLogger& logger, Tag tag, const ALKLogSource& source, std::int64_t line,
                    const std::string& message) {
  static constexpr const char* kTemplates[] = {"<DEBUG> [%@(%p)]:%zd %@", "<INFO> [%@(%p)]:%zd %@",
                                               "<WARNING> [%@(%p)]:%zd %@", "<ERROR> [%@(%p)]:%zd %@"};
  logger.logMessageWithFormat(kTemplates[static_cast<int>(tag)], kTaggedLineLevel, source.className(),
                              source.address(), line, message);
}

void ALKLog::submitInFunction(IALKLogger& logger, const char* function, std::int64_t line, const std::string& message) {
  logger.logMessageWithFormat("<DEBUG> [%s]:%zd %@", kFunctionLineLevel, function, line, message);
}
