#include "Errors/AssertionHandler.h"

#include "Errors/Exception.h"

namespace platform {
namespace {

thread_local std::shared_ptr<AssertionHandler> threadHandler;

}  // namespace

AssertionHandler::~AssertionHandler() = default;

void AssertionHandler::handleFailureInMethod(const std::string&, const Object*, const std::string&, long,
                                             const std::string& description) {
  throw Exception(Exception::kInternalInconsistencyException, description);
}

void AssertionHandler::handleFailureInFunction(const std::string&, const std::string&, long,
                                               const std::string& description) {
  throw Exception(Exception::kInternalInconsistencyException, description);
}

std::shared_ptr<AssertionHandler> AssertionHandler::currentHandler() {
  if (!threadHandler) threadHandler = std::make_shared<AssertionHandler>();
  return threadHandler;
}

void AssertionHandler::setCurrentHandler(std::shared_ptr<AssertionHandler> handler) {
  threadHandler = std::move(handler);
}

}  // namespace platform
