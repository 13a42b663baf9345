#include "DQXMLMessageScope.h"

#include <libxml/globals.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "DQLog.h"
#include "DQXMLFunctions.h"

DQXMLMessageScope::DQXMLMessageScope()
    : previousStructured_(xmlStructuredError),
      previousStructuredContext_(xmlStructuredErrorContext),
      previousGeneric_(xmlGenericError),
      previousGenericContext_(xmlGenericErrorContext) {
  // Assigned, not set through libxml2's setters: the thread's own handlers
  // change, never the defaults of threads yet to come.
  xmlStructuredError = reportError;
  xmlStructuredErrorContext = this;
  xmlGenericError = reportText;
  xmlGenericErrorContext = this;
}

DQXMLMessageScope::~DQXMLMessageScope() {
  xmlStructuredError = previousStructured_;
  xmlStructuredErrorContext = previousStructuredContext_;
  xmlGenericError = previousGeneric_;
  xmlGenericErrorContext = previousGenericContext_;
  flushText(true);
}

void DQXMLMessageScope::reportError(void*, xmlErrorPtr error) {
  // The context is whatever the reporter chose; the message is logged the
  // same way whichever scope is innermost.
  platform::ErrorPtr value = DQXMLErrorFromLibxml(error, nullptr);
  if (!value) return;
  const int level = error->level == XML_ERR_WARNING ? kDQLogLevelWarning : kDQLogLevelError;
  com_zarn_NEXAKit_TolvekDQLog(level, "[DQXMLDocument] - libxml2 reported: %@", value);
}

void DQXMLMessageScope::reportText(void*, const char* format, ...) {
  // libxml2 passes its parser context here at times; the scope is the
  // thread's generic context, which only a scope installs with this handler.
  auto* scope = static_cast<DQXMLMessageScope*>(xmlGenericErrorContext);
  char buffer[1024];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  if (length <= 0) return;
  scope->text_.append(buffer, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof buffer - 1));
  scope->flushText(false);
}

void DQXMLMessageScope::flushText(bool all) {
  for (std::size_t end; (end = text_.find('\n')) != std::string::npos;) {
    if (end > 0) com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQXMLDocument] - libxml2: %@", text_.substr(0, end));
    text_.erase(0, end + 1);
  }
  if (all && !text_.empty()) {
    com_zarn_NEXAKit_TolvekDQLog(kDQLogLevelError, "[DQXMLDocument] - libxml2: %@", text_);
    text_.clear();
  }
}
