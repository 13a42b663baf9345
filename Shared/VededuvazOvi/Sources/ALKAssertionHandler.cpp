#include "ALKAssertionHandler.h"

#include "ALKClient.h"
#include "ALKLog.h"
#include "ALKLogIndent.h"
#include "Errors/Exception.h"

namespace {

const ALKLogSource kHandlerClass = ALKLogSource::forClass("ALKAssertionHandler");

[[noreturn]] void raiseAssertionFailure() {
  throw platform::Exception(platform::Exception::kInternalInconsistencyException, "Assertion failure");
}

}  // namespace

std::shared_ptr<ALKAssertionHandler> ALKAssertionHandler::assertionHandlerWithRaiseExceptions(bool raiseExceptions) {
  return std::make_shared<ALKAssertionHandler>(raiseExceptions);
}

ALKAssertionHandler::ALKAssertionHandler(bool raiseExceptions) : raiseExceptions_(raiseExceptions) {
  ALKLogIndent indent;
  ALKLog::debug(this, "Init {raise: %d}", raiseExceptions_);
}

ALKAssertionHandler::~ALKAssertionHandler() {
  ALKLogIndent indent;
  ALKLog::debug(this, "Dealloc");
}

void ALKAssertionHandler::handleFailureInMethod(const std::string& method, const platform::Object* object,
                                                const std::string& file, long line, const std::string& description) {
  ALKClient::sharedClient()->assertFailureInMethod(method, object, raiseExceptions_, file, line, description);
  if (raiseExceptions_) raiseAssertionFailure();
}

void ALKAssertionHandler::handleFailureInFunction(const std::string& function, const std::string& file, long line,
                                                  const std::string& description) {
  ALKClient::sharedClient()->assertFailureInFunction(function, raiseExceptions_, file, line, description);
  if (raiseExceptions_) raiseAssertionFailure();
}

bool ALKAssertionHandler::postsAssertion() {
  return dynamic_cast<ALKAssertionHandler*>(platform::AssertionHandler::currentHandler().get()) != nullptr;
}

void ALKAssertionHandler::setPostsAssertion(bool post, bool raise) {
  ALKLogIndent indent;
  if (post) {
    ALKLog::debug(kHandlerClass, "Set post assertion {raise: %d}", raise);
    platform::AssertionHandler::setCurrentHandler(assertionHandlerWithRaiseExceptions(raise));
  } else if (postsAssertion()) {
    ALKLog::debug(kHandlerClass, "Clear post assertion");
    platform::AssertionHandler::setCurrentHandler(nullptr);
  }
}
