#pragma once

#include <memory>
#include <string>

#include "Errors/AssertionHandler.h"
#include "Values/Object.h"

// An assertion handler that reports each failure to the shared client as an
// exception activity and raises NSInternalInconsistencyException "Assertion
// failure" afterwards only when told to. The class operations install or
// remove one as the calling thread's handler.
//
// Threads: a handler serves the thread it is installed on; a report made
// there reaches the client on the main thread (see ALKClient).
class ALKAssertionHandler : public platform::AssertionHandler, public platform::Object {
 public:
  static std::shared_ptr<ALKAssertionHandler> assertionHandlerWithRaiseExceptions(bool raiseExceptions);
  explicit ALKAssertionHandler(bool raiseExceptions);
  ~ALKAssertionHandler() override;

  bool raiseExceptions() const { return raiseExceptions_; }
  void setRaiseExceptions(bool raiseExceptions) { raiseExceptions_ = raiseExceptions; }

  void handleFailureInMethod(const std::string& method, const platform::Object* object, const std::string& file,
                             long line, const std::string& description) override;
  void handleFailureInFunction(const std::string& function, const std::string& file, long line,
                               const std::string& description) override;

  // Whether the calling thread's handler is one of these.
  static bool postsAssertion();
  // Post: a new handler (raising or not) becomes the calling thread's. No
  // post: removes the thread's handler when it is one of these; another
  // handler stays.
  static void setPostsAssertion(bool post, bool raise);

 private:
  bool raiseExceptions_;
};
