#include <gtest/gtest.h>

#include <glib.h>
#include <glib/gstdio.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "DQHTTPStreamError.h"
#include "DQLocalFileHTTPStreamProvider.h"
#include "DQURLConnection.h"
#include "DQURLDataAccumulationConsumer.h"
#include "RunLoop/RunLoop.h"
#include "TestSupport.h"

using namespace platform;
using namespace testsupport;

namespace {


std::string contents(const std::string& path) {
  gchar* data = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &data, &length, nullptr)) return "<missing>";
  std::string result(data, length);
  g_free(data);
  return result;
}

class LocalFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(directory.path().empty());
    ASSERT_TRUE(g_file_set_contents(directory.file("doc.xml").c_str(), "<doc/>", -1, nullptr));
  }

  Url fileUrl(const std::string& name) const { return *Url::fileUrl(directory.file(name)); }

  // Runs a connection to its end on this thread's run loop.
  std::shared_ptr<DQURLDataAccumulationConsumer> run(const std::shared_ptr<DQURLConnection>& connection) {
    EXPECT_TRUE(connection);
    if (!connection) return nullptr;
    ErrorPtr error;
    EXPECT_TRUE(connection->open(10, &error, nullptr));
    // The answer never comes inside the open.
    EXPECT_FALSE(connection->isLoadingCompleted());
    EXPECT_TRUE(RunLoop::current().runUntil([&] { return connection->isLoadingCompleted(); }, kPatience));
    connection->close();
    return std::static_pointer_cast<DQURLDataAccumulationConsumer>(connection->consumer());
  }

  TemporaryDirectory directory;
  std::shared_ptr<DQLocalFileHTTPStreamProvider> provider = DQLocalFileHTTPStreamProvider::make();
};

}  // namespace

TEST_F(LocalFileTest, GetAndHeadAnswerTheFile) {
  for (auto make : {&DQURLConnection::connectionWithGETRequest, &DQURLConnection::connectionWithHEADRequest}) {
    auto consumer = run(make(fileUrl("doc.xml"), provider, DQURLDataAccumulationConsumer::make()));
    EXPECT_EQ(consumer->responseStatusCode(), 200);
    EXPECT_EQ(text(consumer->responseData()), make == &DQURLConnection::connectionWithGETRequest ? "<doc/>" : "");
    EXPECT_EQ(consumer->responseHeader()->objectForKey("Content-Length"), Value("6"));
  }
}

TEST_F(LocalFileTest, FilesPastTheBodyLimitFailForGoodButAnswerHead) {
  // A sparse file one byte past the limit, and a device that never ends.
  const std::string large = directory.file("large.bin");
  const int fd = g_open(large.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(IDQHTTPStream::kMaximumBodyLength + 1)), 0);
  close(fd);
  for (const Url& url : {fileUrl("large.bin"), *Url::fileUrl("/dev/zero")}) {
    SCOPED_TRACE(url.absoluteString());
    auto consumer = run(DQURLConnection::connectionWithGETRequest(url, provider, DQURLDataAccumulationConsumer::make()));
    const ErrorPtr error = consumer->loadingError();
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(DQHTTPStreamError::domain(), DQHTTPStreamError::kUnparsableResponse));
    EXPECT_TRUE(error->underlyingError()->is(DQHTTPStreamError::domain(), DQHTTPStreamError::kNotHTTP));
    EXPECT_TRUE(DQHTTPStreamError::isNonRecoverable(error));
    EXPECT_FALSE(consumer->responseStatusCode());
  }
  auto head = run(DQURLConnection::connectionWithHEADRequest(fileUrl("large.bin"), provider,
                                                             DQURLDataAccumulationConsumer::make()));
  EXPECT_EQ(head->responseStatusCode(), 200);
  EXPECT_EQ(head->responseHeader()->objectForKey("Content-Length"),
            Value(std::to_string(IDQHTTPStream::kMaximumBodyLength + 1)));
}

TEST_F(LocalFileTest, MissingUnreadableOrDirectoryPathsAre404) {
  ASSERT_EQ(g_mkdir(directory.file("folder").c_str(), 0700), 0);
  ASSERT_TRUE(g_file_set_contents(directory.file("secret").c_str(), "x", -1, nullptr));
  ASSERT_EQ(g_chmod(directory.file("secret").c_str(), 0), 0);
  std::vector<std::string> names = {"missing.xml", "folder"};
  if (geteuid() != 0) names.push_back("secret");  // root reads anything
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    for (auto make : {&DQURLConnection::connectionWithGETRequest, &DQURLConnection::connectionWithHEADRequest}) {
      auto consumer = run(make(fileUrl(name), provider, DQURLDataAccumulationConsumer::make()));
      EXPECT_EQ(consumer->responseStatusCode(), 404);
      EXPECT_TRUE(consumer->responseData().empty());
    }
  }
}

TEST_F(LocalFileTest, PutReplacesTheFileWholeAndOtherMethodsAre405) {
  auto put = run(DQURLConnection::connectionWithPUTRequest(fileUrl("doc.xml"), provider,
                                                           DQURLDataAccumulationConsumer::make(), bytes("<new/>"),
                                                           "text/xml"));
  EXPECT_EQ(put->responseStatusCode(), 200);
  EXPECT_EQ(contents(directory.file("doc.xml")), "<new/>");

  auto unwritable = run(DQURLConnection::connectionWithPUTRequest(fileUrl("no/such/folder.xml"), provider,
                                                                  DQURLDataAccumulationConsumer::make(), bytes("x"),
                                                                  "text/xml"));
  EXPECT_EQ(unwritable->responseStatusCode(), 500);

  auto post = run(DQURLConnection::connectionWithPOSTRequest(fileUrl("doc.xml"), provider,
                                                             DQURLDataAccumulationConsumer::make(), bytes("x"),
                                                             "text/xml"));
  EXPECT_EQ(post->responseStatusCode(), 405);
  EXPECT_EQ(contents(directory.file("doc.xml")), "<new/>");
}

TEST_F(LocalFileTest, ClosedBeforeTheAnswerDeliversNothingAndNonFileUrlsDoNotOpen) {
  auto consumer = DQURLDataAccumulationConsumer::make();
  auto connection = DQURLConnection::connectionWithGETRequest(fileUrl("doc.xml"), provider, consumer);
  ASSERT_TRUE(connection->open(10, nullptr, nullptr));
  connection->close();
  // Blocks performed on a run loop run in order: once this one ran, so did
  // the answer the open queued.
  bool answerTurnPassed = false;
  RunLoop::current().perform([&] { answerTurnPassed = true; });
  ASSERT_TRUE(RunLoop::current().runUntil([&] { return answerTurnPassed; }, kPatience));
  EXPECT_FALSE(consumer->isLoadingCompleted());

  ErrorPtr error;
  EXPECT_FALSE(DQURLConnection::connectionWithGETRequest(*Url::fromString("http://127.0.0.1/"), provider,
                                                         DQURLDataAccumulationConsumer::make())->open(10, &error, nullptr));
  EXPECT_TRUE(error && error->is(DQHTTPStreamError::domain(), DQHTTPStreamError::kOtherFailure));
}
