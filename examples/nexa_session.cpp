// Runs a NEXA session end to end, three times: against the printer documents
// in examples/nexa-printer (a file URL); against a printer of our own on a
// loopback HTTP server that asks for Basic credentials (admin/secret) and is
// advertised through an in-process DNS-SD back end; and against the simulated
// USB printer of the host layer, serving the same documents behind its bulk
// pipes, reached by its serial number. Each run prints the
// resolution info, a configuration fetched through a path expression on the
// discovery tree, an upload, and the timings.
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "DQDirectPrinterURLResolver.h"
#include "DQLog.h"
#include "DQNEXASession.h"
#include "DQNetServicePrinterURLResolver.h"
#include "DQUSBConstatns.h"
#include "DQXMLDocument.h"
#include "RunLoop/RunLoop.h"
#include "Simulation/ServiceDiscovery/FakeServiceBackend.h"
#include "Simulation/Usb/SimUsbBus.h"
#include "Simulation/Usb/VirtualPrinter.h"
#include "Simulation/Usb/VirtualPrinterHttpResponder.h"
#include "Text/Base64.h"
#include "Usb/UsbBackend.h"

using namespace platform;
using Clock = std::chrono::steady_clock;

namespace {

// The discovery tree: 'resourceURIFor:' names the URI of a resource type.
class ProductTreeDocument : public DQXMLDocument, public IDQNEXASelectorTarget {
 public:
  explicit ProductTreeDocument(const Passkey& key) : DQXMLDocument(key) {}
  std::optional<Value> perform(std::string_view selector, const std::vector<Value>& arguments) override {
    if (selector != "resourceURIFor:" || arguments.size() != 1) return std::nullopt;
    auto node = nodeForXPath("//tree:Resource[dd:ResourceType='" + arguments[0].stringValue() + "']/dd:ResourceURI");
    return node && node->stringValue() ? Value(*node->stringValue()) : Value();
  }
};

std::string readFile(const std::filesystem::path& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Spins the main run loop in short slices until `done`.
bool pumpUntil(const std::function<bool()>& done) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!done() && Clock::now() < deadline) RunLoop::main().runUntil(Clock::now() + std::chrono::milliseconds(5));
  return done();
}

void printInfo(const std::optional<Dictionary>& info) {
  if (!info) return;
  for (const char* key : {"AccessURLs", "HostNames", "IPAddresses", "ConnectionType", "USBSerialNumber"}) {
    const Value value = info->objectForKey(key);
    if (value.isNil()) continue;
    std::string text;
    if (const Array* items = value.array()) {
      for (const auto& item : *items) text += (text.empty() ? "" : ", ") + (item.url() ? item.url()->absoluteString() : item.stringValue());
    } else {
      text = value.stringValue();
    }
    std::printf("  %-15s %s\n", key, text.c_str());
  }
}

// One whole run against a printer address; answers whether it all worked.
bool runSession(const char* title, const Url& printerURI, DQPrinterResolvingOperation::ResolverFactory resolvers) {
  std::printf("== %s: %s\n", title, printerURI.absoluteString().c_str());
  int prompts = 0;
  auto session = DQNEXASession::make(printerURI, std::nullopt, false, false,
                                     [&prompts](const std::shared_ptr<DQURLAuthenticationChallenge>& challenge,
                                                std::uint64_t retry) {
                                       ++prompts;
                                       std::printf("  credentials asked for realm \"%s\" (retry %llu)\n",
                                                   challenge->protectionSpace().realm().value_or("").c_str(),
                                                   static_cast<unsigned long long>(retry));
                                       challenge->completeChallengeWithUserName("admin", "secret");
                                     });
  session->setResolverFactory(std::move(resolvers));
  session->registerDataRetrievingRequest("tree", "DevMgmt/DiscoveryTree.xml",
                                         DQNEXAResultClass::XMLDocumentClass<ProductTreeDocument>("ProductTreeDocument"),
                                         3, true);
  session->registerDataRetrievingRequest("config", {"tree"}, "tree{'resourceURIFor:', 'ProductConfigDyn'}",
                                         std::nullopt, true);

  const auto start = Clock::now();
  bool resolved = false;
  ErrorPtr failure;
  session->schedulePrinterResolve([&](const std::optional<Dictionary>& info, const ErrorPtr& error) {
    resolved = true;
    failure = error;
    std::printf("  resolved in %.1f ms, base URL %s\n", millisecondsSince(start),
                session->printerResolvingContext()->baseNEXAURL()
                    ? session->printerResolvingContext()->baseNEXAURL()->absoluteString().c_str()
                    : "(none)");
    printInfo(info);
  });
  if (!pumpUntil([&] { return resolved; }) || failure) {
    std::printf("  resolving failed: %s\n", failure ? failure->description().c_str() : "timed out");
    return false;
  }

  const auto requested = Clock::now();
  bool configDone = false;
  session->scheduleRequestRegisteredWithName("config", [&](const ObjectPtr& result, const ErrorPtr& error) {
    configDone = true;
    failure = error;
    auto document = std::dynamic_pointer_cast<DQXMLDocument>(result);
    if (!document) return;
    auto model = document->nodeForXPath("//dd:MakeAndModel");
    auto serial = document->nodeForXPath("//dd:SerialNumber");
    std::printf("  config (tree -> path expression) in %.1f ms: %s, serial %s\n", millisecondsSince(requested),
                model ? model->stringValue().value_or("?").c_str() : "?",
                serial ? serial->stringValue().value_or("?").c_str() : "?");
  });
  if (!pumpUntil([&] { return configDone; }) || failure) {
    std::printf("  config failed: %s\n", failure ? failure->description().c_str() : "timed out");
    return false;
  }
  const auto cachedStart = Clock::now();
  session->scheduleRequestRegisteredWithName("config", [&](const ObjectPtr& result, const ErrorPtr&) {
    std::printf("  config again from the cache in %.3f ms (%s)\n", millisecondsSince(cachedStart),
                result ? "same document" : "no document");
  });

  const auto uploadStart = Clock::now();
  bool uploaded = false;
  session->scheduleDataUploading(Data{'<', 's', '/', '>'}, "DevMgmt/Settings.xml",
                                 [&](const ObjectPtr&, const ErrorPtr& error) {
                                   uploaded = true;
                                   failure = error;
                                 });
  if (!pumpUntil([&] { return uploaded; }) || failure) {
    std::printf("  upload failed: %s\n", failure ? failure->description().c_str() : "timed out");
    return false;
  }
  std::printf("  upload of Settings.xml in %.1f ms; %d credential prompt(s); whole run %.1f ms\n",
              millisecondsSince(uploadStart), prompts, millisecondsSince(start));
  return true;
}

// The printer of our own: the documents of `folder`, the discovery tree
// for anyone, the rest and uploads behind Basic credentials. Answers
// (status, body); any thread.
std::pair<int, std::string> answerPrinterRequest(const std::filesystem::path& folder, const std::string& method,
                                                 const std::string& target, const std::string& authorization) {
  if (target != "/DevMgmt/DiscoveryTree.xml" &&
      authorization != "Basic " + Base64::encode(std::string_view("admin:secret"))) {
    return {401, ""};
  }
  if (method == "PUT") return {target == "/DevMgmt/Settings.xml" ? 200 : 404, ""};
  const auto path = folder / target.substr(1);
  std::error_code missing;
  if (!target.starts_with("/DevMgmt/") || target.find("..") != std::string::npos ||
      !std::filesystem::exists(path, missing)) {
    return {404, ""};
  }
  return {200, readFile(path)};
}

constexpr const char* kChallenge = "Basic realm=\"Printer\"";

// That printer on a loopback HTTP server.
class LoopbackPrinter {
 public:
  explicit LoopbackPrinter(std::filesystem::path folder) : folder_(std::move(folder)) {
    auto handler = [this](const httplib::Request& request, httplib::Response& response) {
      const auto [status, body] =
          answerPrinterRequest(folder_, request.method, request.path, request.get_header_value("Authorization"));
      response.status = status;
      if (status == 401) response.set_header("WWW-Authenticate", kChallenge);
      if (!body.empty()) response.set_content(body, "text/xml");
    };
    server_.Get(".*", handler);
    server_.Put(".*", handler);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~LoopbackPrinter() {
    server_.stop();
    thread_.join();
  }
  int port() const { return port_; }

 private:
  std::filesystem::path folder_;
  httplib::Server server_;
  int port_ = -1;
  std::thread thread_;
};

// That printer behind the bulk pipes of a simulated USB printer of the maker
// (serial number SN-DEMO-0042), installed as the process's USB host.
std::shared_ptr<VirtualPrinterHttpResponder> plugUSBPrinter(const std::filesystem::path& folder) {
  auto description = VirtualPrinter::standardDescription(DQUSBConstatns::ZarnVendorID());
  description.strings[3] = "SN-DEMO-0042";
  description.deviceIDs[{0, 0}] = VirtualPrinter::deviceIDAnswer(
      "MFG:Zarn;MDL:Office Printer 7;SN:SN-DEMO-0042;", VirtualPrinter::LengthField::TextOnly);
  description.deviceIDs[{0, 1}] = VirtualPrinter::deviceIDAnswer(
      "MFG:Zarn;MDL:Office Printer 7;NEXADIS:USB#07#01#04;", VirtualPrinter::LengthField::CountsItself);
  auto printer = std::make_shared<VirtualPrinter>(std::move(description));
  auto bus = std::make_shared<SimUsbBus>();
  bus->plug(printer, SimUsbBus::key(2, 1));
  UsbBackend::setShared(bus);
  return VirtualPrinterHttpResponder::attach(printer, 0, [folder, printer](const VirtualPrinterHttpResponder::Request& request) {
    const auto [status, body] =
        answerPrinterRequest(folder, request.method, request.target, request.field("Authorization").value_or(""));
    auto response = HttpMessage::makeResponse(status, status == 200 ? "OK" : "Not OK");
    if (status == 401) response->setHeaderField("WWW-Authenticate", kChallenge);
    response->setBody(Data(body.begin(), body.end()));
    return response;
  });
}

}  // namespace

int main() {
  com_zarn_NEXAKit_TolvekDQLogInstallSharedLogger(
      [](int level, const std::string& line) { std::fprintf(stderr, "<%d> %s\n", level, line.c_str()); },
      kDQLogLevelWarning);
  // The documents are copied so that uploads leave the sources alone.
  std::error_code error;
  const auto folder = std::filesystem::temp_directory_path(error) / ("nexa-printer-" + std::to_string(getpid()));
  if (!error) {
    std::filesystem::copy(std::filesystem::path(EXAMPLES_DIR) / "nexa-printer", folder,
                          std::filesystem::copy_options::recursive, error);
  }
  if (error) {
    std::fprintf(stderr, "Cannot copy the printer's documents: %s\n", error.message().c_str());
    return 1;
  }
  bool ok = runSession("documents in a folder", *Url::fileUrl(folder.string() + "/"), nullptr);

  LoopbackPrinter printer(folder);
  auto dnssd = std::make_shared<FakeServiceBackend>();
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&v4);
  dnssd->addService("Demo Printer", "_http._tcp", "local",
                    ResolvedService{"localhost", printer.port(), {Data(bytes, bytes + sizeof(v4))}, {}});
  ok = runSession("loopback HTTP printer with Basic credentials", *Url::fromString("dnssd://Demo%20Printer._http._tcp.local"),
                  [dnssd](const std::optional<Url>& uri) {
                    return std::make_shared<DQNetServicePrinterURLResolver>(*uri, dnssd);
                  }) && ok;

  auto usbPrinter = plugUSBPrinter(folder);
  ok = runSession("simulated USB printer", *Url::fromString("nexausb://SN-DEMO-0042/"), nullptr) && ok;
  UsbBackend::setShared(nullptr);
  std::filesystem::remove_all(folder, error);
  return ok ? 0 : 1;
}
