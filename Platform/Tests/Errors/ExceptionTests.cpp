#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <thread>

#include "Errors/Exception.h"

using namespace platform;

namespace {

void reportToStderr(const Exception& exception) {
  std::fprintf(stderr, "uncaught %s: %s\n", exception.name().c_str(), exception.reason().c_str());
}

template <class Throw>
void throwOnAThread(Throw raise) {
  Exception::setUncaughtExceptionHandler(reportToStderr);
  std::thread(raise).join();
}

}  // namespace

TEST(ExceptionTest, CarriesItsNameReasonAndUserInfo) {
  const Exception exception(Exception::kRangeException, "index 7 beyond bounds", {{"index", 7}});
  EXPECT_EQ(exception.name(), "NSRangeException");
  EXPECT_STREQ(exception.what(), "index 7 beyond bounds");
  EXPECT_EQ(exception.userInfo().objectForKey("index"), Value(7));
}

TEST(ExceptionTest, RemovingTheHandlerRestoresTheTerminateHandler) {
  const std::terminate_handler before = std::get_terminate();
  Exception::setUncaughtExceptionHandler(reportToStderr);
  EXPECT_NE(std::get_terminate(), before);
  Exception::setUncaughtExceptionHandler(nullptr);
  EXPECT_FALSE(Exception::uncaughtExceptionHandler());
  EXPECT_EQ(std::get_terminate(), before);
}

TEST(ExceptionDeathTest, UncaughtHandlerSeesExceptionsEscapingAThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(throwOnAThread([] { throw Exception(Exception::kInvalidArgumentException, "nil key"); }),
               "uncaught NSInvalidArgumentException: nil key");
  EXPECT_DEATH(throwOnAThread([] { throw std::runtime_error("disk full"); }), "uncaught std::exception: disk full");
  EXPECT_DEATH(throwOnAThread([] { throw 42; }), "uncaught unknown exception");
}
