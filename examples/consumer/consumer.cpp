// Uses both installed libraries through the headers' usual names: the
// analytics client keeps a tracking id, NEXAKit parses a printer document.
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>

#include "ALKClient.h"
#include "DQXMLDocument.h"
#include "DQXMLElement.h"

int main() {
  const auto client = ALKClient::sharedClient();
  client->setTrackingId("UA-10000000-1");
  if (client->trackingId() != "UA-10000000-1") {
    std::fprintf(stderr, "the analytics client lost its tracking id\n");
    return 1;
  }

  constexpr std::string_view text = "<printer><model>X1</model></printer>";
  platform::ErrorPtr error;
  const auto document = DQXMLDocument::documentWithData(
      std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), &error);
  if (!document || !document->rootElement() || document->rootElement()->name() != "printer") {
    std::fprintf(stderr, "the printer document did not parse\n");
    return 1;
  }
  std::printf("consumer: %s on %s\n", client->trackingId()->c_str(),
              document->rootElement()->name()->c_str());
  return 0;
}
