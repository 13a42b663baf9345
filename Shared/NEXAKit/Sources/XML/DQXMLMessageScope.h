#pragma once

#include <libxml/xmlerror.h>

#include <string>

// While it lives, every message libxml2 reports on the constructing thread
// (parser, validity, XPath, tree, serialiser and generic messages) goes to
// the library's log instead of standard error or the application's
// handlers: a reported error as an error of the XML domain, at the warning
// level for libxml2's warnings and the error level otherwise; text that
// libxml2 writes through its generic channel line by line at the error
// level. Errors that make an operation fail still come back from libxml2's
// error records, as before.
//
// libxml2's handlers are per thread (the main thread's are the process-wide
// ones); the scope replaces the thread's structured and generic handlers
// and puts back exactly what it found when it ends. Scopes nest. It lives on
// one thread, on the stack, around the libxml2 calls of one operation.
class DQXMLMessageScope {
 public:
  DQXMLMessageScope();
  ~DQXMLMessageScope();
  DQXMLMessageScope(const DQXMLMessageScope&) = delete;
  DQXMLMessageScope& operator=(const DQXMLMessageScope&) = delete;

 private:
  // The handlers libxml2 calls on this thread while the scope is installed.
  static void reportError(void* scope, xmlErrorPtr error);
  static void reportText(void* scope, const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Logs every complete line of the generic text, or all of it.
  void flushText(bool all);

  xmlStructuredErrorFunc previousStructured_;
  void* previousStructuredContext_;
  xmlGenericErrorFunc previousGeneric_;
  void* previousGenericContext_;
  std::string text_;  // generic text not yet ended by a newline
};
