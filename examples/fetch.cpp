// Fetches one URL (http, https or file) through a URL connection on a
// run-loop operation, and prints status, header fields and body size.
//
//   fetch [URL or path]
//
// Without an argument it fetches the sample document beside this file.
#include <cstdio>
#include <memory>
#include <string>

#include "DQLocalFileHTTPStreamProvider.h"
#include "DQLog.h"
#include "DQNetworkHTTPStreamProvider.h"
#include "DQRunLoopOperation.h"
#include "DQURLConnection.h"
#include "DQURLDataAccumulationConsumer.h"
#include "Text/Format.h"
#include "Dispatch/OperationQueue.h"
#include "Values/Url.h"

using namespace platform;

namespace {

// One GET, waiting on the operation's own run loop for at most 20 seconds.
class FetchOperation : public DQRunLoopOperation {
 public:
  explicit FetchOperation(Url url) : url_(std::move(url)) {}

  void performOperationTask() override {
    std::shared_ptr<IDQHTTPStreamProvider> provider;
    if (url_.isFileUrl()) {
      provider = DQLocalFileHTTPStreamProvider::make();
    } else {
      provider = DQNetworkHTTPStreamProvider::initUsingProxy(true, true);
    }
    consumer_ = DQURLDataAccumulationConsumer::make();
    auto connection = DQURLConnection::connectionWithGETRequest(url_, provider, consumer_);
    if (!connection) return;
    if (!connection->open(20, &openError_, [this] { return isCancelled(); })) return;
    runUntil([&] { return connection->isLoadingCompleted(); }, [&] { return connection->canBeInterrupted(); });
    connection->close();
  }

  const std::shared_ptr<DQURLDataAccumulationConsumer>& consumer() const { return consumer_; }
  const ErrorPtr& openError() const { return openError_; }

 private:
  Url url_;
  std::shared_ptr<DQURLDataAccumulationConsumer> consumer_;
  ErrorPtr openError_;
};

}  // namespace

int main(int argc, char** argv) {
  com_zarn_NEXAKit_TolvekDQLogInstallSharedLogger(
      [](int level, const std::string& line) { std::fprintf(stderr, "<%d> %s\n", level, line.c_str()); },
      kDQLogLevelInfo);

  const std::string target = argc > 1 ? argv[1] : EXAMPLES_DIR "/fetch-sample.xml";
  auto url = Url::fromString(target);
  if (!url && !target.empty() && target.front() == '/') url = Url::fileUrl(target);
  if (!url) {
    std::fprintf(stderr, "Not a URL or an absolute path: %s\n", target.c_str());
    return 2;
  }

  OperationQueue queue("fetch");
  auto operation = std::make_shared<FetchOperation>(*url);
  queue.addOperation(operation);
  operation->waitUntilFinished();

  const auto& consumer = operation->consumer();
  if (operation->openError() || !consumer) {
    std::printf("%s\n", format("%@: could not open: %@", url->absoluteString(), operation->openError()).c_str());
    return 1;
  }
  if (consumer->loadingError()) {
    std::printf("%s\n", format("%@: failed: %@", url->absoluteString(), consumer->loadingError()).c_str());
    return 1;
  }
  std::printf("%s\n", format("%@\nstatus %d", url->absoluteString(), consumer->responseStatusCode().value_or(0)).c_str());
  for (const auto& [name, value] : consumer->responseHeader().value_or(Dictionary{})) {
    std::printf("%s\n", format("%@: %@", name, value).c_str());
  }
  std::printf("%s\n", format("body: %zu bytes", consumer->responseData().size()).c_str());
  return 0;
}
