#include "NEXATestSupport.h"

#include "DQNEXASingleOperationDescriptor.h"
#include "Dispatch/DispatchQueue.h"
#include "Text/Base64.h"

using namespace platform;

namespace nexatest {

LoopbackPrinter::LoopbackPrinter(const std::string& host, int port) {
  auto& routes = server_.routes();
  routes.Get("/DevMgmt/DiscoveryTree.xml", [this](const httplib::Request& request, httplib::Response& response) {
    record(request);
    std::lock_guard lock(mutex_);
    response.set_content(tree_, "text/xml");
  });
  for (const char* path : {"/DevMgmt/ProductConfigDyn.xml", "/DevMgmt/Other.xml", "/locked/DevMgmt/DiscoveryTree.xml"}) {
    routes.Get(path, [this](const httplib::Request& request, httplib::Response& response) {
      record(request);
      if (authorized(request, response)) response.set_content(kConfig, "text/xml");
    });
  }
  routes.Get("/Jobs/Status", [this](const httplib::Request& request, httplib::Response& response) {
    record(request);
    std::lock_guard lock(mutex_);
    response.status = ++statusCalls_ <= 2 ? 202 : 200;
    response.set_content("<s:Status xmlns:s=\"urn:example:nexa:status\"><s:State>Idle</s:State></s:Status>",
                         "text/xml");
  });
  routes.Get("/", [this](const httplib::Request& request, httplib::Response& response) {
    record(request);
    response.set_content("<index/>", "text/xml");
  });
  routes.Get("/Busy", [this](const httplib::Request& request, httplib::Response& response) {
    record(request);
    response.status = 202;
  });
  routes.Get("/locked/Jobs/Status", [this](const httplib::Request& request, httplib::Response& response) {
    record(request);
    if (!authorized(request, response)) return;
    std::lock_guard lock(mutex_);
    response.status = ++lockedStatusCalls_ <= 2 ? 202 : 200;
  });
  routes.Get("/Count", [this](const httplib::Request& request, httplib::Response& response) {
    record(request);
    std::lock_guard lock(mutex_);
    response.set_content("<n>" + std::to_string(++countCalls_) + "</n>", "text/xml");
  });
  routes.Put("/DevMgmt/Settings.xml", [this](const httplib::Request& request, httplib::Response& response) {
    record(request);
    response.status = 200;
  });
  routes.Post("/Post", [this](const httplib::Request& request, httplib::Response& response) {
    record(request);
    std::lock_guard lock(mutex_);
    response.status = ++postCalls_ == 1 ? 400 : 200;
  });
  routes.Get("/Missing", [this](const httplib::Request& request, httplib::Response& response) {
    record(request);
    response.status = 404;
  });
  routes.Get("/Boom", [this](const httplib::Request& request, httplib::Response& response) {
    record(request);
    response.status = 500;
  });
  routes.Get("/Slow", [this](const httplib::Request& request, httplib::Response& response) {
    record(request);
    std::unique_lock lock(mutex_);
    slowReleased_.wait_for(lock, std::chrono::seconds(5), [this] { return released_; });
    response.set_content(kConfig, "text/xml");
  });
  server_.start(host, port);
}

LoopbackPrinter::~LoopbackPrinter() {
  releaseSlow();
  server_.stop();
}

void LoopbackPrinter::record(const httplib::Request& request) {
  std::lock_guard lock(mutex_);
  requests_.push_back({request.method, request.path, request.get_header_value("Authorization"),
                       request.get_header_value("Content-Type"), request.body});
}

bool LoopbackPrinter::authorized(const httplib::Request& request, httplib::Response& response) {
  std::lock_guard lock(mutex_);
  const std::string expected = "admin:" + password_;
  if (request.get_header_value("Authorization") == "Basic " + platform::Base64::encode(expected)) return true;
  response.status = 401;
  response.set_header("WWW-Authenticate", "Basic realm=\"Printer\"");
  return false;
}

std::vector<Request> LoopbackPrinter::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<std::string> LoopbackPrinter::paths() const {
  std::vector<std::string> out;
  for (const auto& request : requests()) out.push_back(request.method + " " + request.path);
  return out;
}

void LoopbackPrinter::setPassword(const std::string& password) {
  std::lock_guard lock(mutex_);
  password_ = password;
}

void LoopbackPrinter::setTree(const std::string& tree) {
  std::lock_guard lock(mutex_);
  tree_ = tree;
}

void LoopbackPrinter::releaseSlow() {
  {
    std::lock_guard lock(mutex_);
    released_ = true;
  }
  slowReleased_.notify_all();
}

void LoopbackPrinter::holdSlow() {
  std::lock_guard lock(mutex_);
  released_ = false;
}

DQPrinterResolvingOperation::ResolverFactory silentResolver() {
  struct Silent : DQPrinterURLResolver {
    using DQPrinterURLResolver::DQPrinterURLResolver;
    bool startResolving(CompletionBlock) override { return true; }
  };
  return [](const std::optional<Url>& uri) { return std::make_shared<Silent>(uri); };
}

void drainMain() {
  bool drained = false;
  DispatchQueue::main()->async([&drained] { drained = true; });
  EXPECT_TRUE(pumpMain([&drained] { return drained; }));
}

DQNEXASession::RequestCompletion Answer::block() {
  return [this](const ObjectPtr& r, const ErrorPtr& e) {
    ++calls;
    onMain = DispatchQueue::isMainThread();
    result = r;
    error = e;
  };
}

DQNEXASession::ResolveCompletion ResolveAnswer::block() {
  return [this](const std::optional<Dictionary>& i, const ErrorPtr& e) {
    ++calls;
    info = i;
    error = e;
  };
}

std::vector<std::string> ResolveAnswer::texts(const char* key) const {
  std::vector<std::string> out;
  const Value value = info ? info->objectForKey(key) : Value();
  if (!value.array()) return out;
  for (const auto& item : *value.array()) out.push_back(item.url() ? item.url()->absoluteString() : item.stringValue());
  return out;
}

Answer runRequest(DQNEXASession& session, const std::string& name) {
  Answer answer;
  session.scheduleRequestRegisteredWithName(name, answer.block());
  EXPECT_TRUE(answer.wait()) << name;
  return answer;
}

Answer upload(DQNEXASession& session, const std::string& body) {
  Answer answer;
  session.scheduleDataUploading(testsupport::bytes(body), "DevMgmt/Settings.xml", answer.block());
  EXPECT_TRUE(answer.wait());
  return answer;
}

void registerPolled(DQNEXASession& session, const std::string& name, const std::string& path, double pause) {
  ASSERT_TRUE(session.registerDataRetrievingRequestWithDescriptor(
      std::make_shared<DQNEXASingleOperationDescriptor>(name, path, std::nullopt, false, 20.0, 3, pause)));
}

void registerTreeAndConfig(DQNEXASession& session) {
  ASSERT_TRUE(session.registerDataRetrievingRequest("tree", "DevMgmt/DiscoveryTree.xml", TestTreeDocument::resultClass(),
                                                    3, true));
  ASSERT_TRUE(session.registerDataRetrievingRequest("config", {"tree"}, "tree{'resourceURIFor:', 'ProductConfigDyn'}",
                                                    std::nullopt, true));
}

void expectConfig(const ObjectPtr& result) {
  auto document = std::dynamic_pointer_cast<DQXMLDocument>(result);
  ASSERT_TRUE(document);
  auto model = document->nodeForXPath("/pc:ProductConfigDyn/dd:MakeAndModel");
  ASSERT_TRUE(model);
  EXPECT_EQ(model->stringValue(), "Model 7");
}

}  // namespace nexatest
