#include <gtest/gtest.h>

#include <thread>

#include "Errors/AssertionHandler.h"
#include "Errors/Exception.h"

using namespace platform;

namespace {

class RecordingHandler : public AssertionHandler {
 public:
  void handleFailureInMethod(const std::string& method, const Object* object, const std::string& file, long line,
                             const std::string& description) override {
    recorded = object->className() + " " + method + " " + file + ":" + std::to_string(line) + " " + description;
  }
  std::string recorded;
};

class Job : public Object {};

// "name: reason" of what the calling thread's handler raises; "" when it raises nothing.
std::string raisedByCurrentHandler() {
  const Job job;
  try {
    AssertionHandler::currentHandler()->handleFailureInMethod("start", &job, "Job.cpp", 42,
                                                              "already started");
  } catch (const Exception& exception) {
    return exception.name() + ": " + exception.reason();
  }
  return "";
}

}  // namespace

TEST(AssertionHandlerTest, DefaultHandlerRaisesAnInternalInconsistency) {
  EXPECT_EQ(raisedByCurrentHandler(), "NSInternalInconsistencyException: already started");
  try {
    AssertionHandler::currentHandler()->handleFailureInFunction("parse", "Parser.cpp", 7, "no input");
    ADD_FAILURE() << "nothing raised";
  } catch (const Exception& exception) {
    EXPECT_EQ(exception.name(), Exception::kInternalInconsistencyException);
    EXPECT_EQ(exception.reason(), "no input");
  }
}

TEST(AssertionHandlerTest, EachThreadHasItsOwnHandler) {
  auto recording = std::make_shared<RecordingHandler>();
  AssertionHandler::setCurrentHandler(recording);
  std::string raisedElsewhere;
  std::thread([&] { raisedElsewhere = raisedByCurrentHandler(); }).join();

  EXPECT_EQ(raisedElsewhere, "NSInternalInconsistencyException: already started");
  EXPECT_EQ(raisedByCurrentHandler(), "");
  EXPECT_EQ(recording->recorded, "Job start Job.cpp:42 already started");

  AssertionHandler::setCurrentHandler(nullptr);
  EXPECT_EQ(raisedByCurrentHandler(), "NSInternalInconsistencyException: already started");
}
