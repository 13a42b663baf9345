// Feeds arbitrary bytes to the response accumulator as a printer's pipe
// could deliver them: once whole, and once in pieces of fuzzer-chosen sizes.
// However the bytes are split, the outcome must be the same.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DQHTTPResponseAccumulator.h"
#include "Http/HttpMessage.h"
#include "Values/Url.h"

namespace {

struct Outcome : DQHTTPResponseAccumulatorDelegate {
  int headers = 0;
  int bodies = 0;
  int failures = 0;
  void accumulatorDidFinishParsingHeader(DQHTTPResponseAccumulator&) override { ++headers; }
  void accumulatorDidFinishParsingBody(DQHTTPResponseAccumulator&) override { ++bodies; }
  void accumulatorHeader(DQHTTPResponseAccumulator&, const platform::ErrorPtr&) override { ++failures; }
};

std::shared_ptr<DQHTTPResponseAccumulator> accumulatorFor(const platform::HttpMessage& request,
                                                          const std::shared_ptr<Outcome>& outcome) {
  auto accumulator = std::make_shared<DQHTTPResponseAccumulator>(&request);
  accumulator->setDelegate(outcome);
  return accumulator;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const bool head = provider.ConsumeBool();
  std::vector<std::size_t> splits;
  for (int i = 0; i < 8; ++i) splits.push_back(provider.ConsumeIntegralInRange<std::size_t>(0, 64));
  const std::vector<std::uint8_t> bytes = provider.ConsumeRemainingBytes<std::uint8_t>();
  const auto request = platform::HttpMessage::makeRequest(head ? "HEAD" : "GET",
                                                          *platform::Url::fromString("nexausb://fuzz/"));

  const auto wholeOutcome = std::make_shared<Outcome>();
  const auto whole = accumulatorFor(*request, wholeOutcome);
  whole->appendData(bytes);

  const auto splitOutcome = std::make_shared<Outcome>();
  const auto split = accumulatorFor(*request, splitOutcome);
  std::size_t at = 0;
  for (std::size_t piece = 0; at < bytes.size(); ++piece) {
    const std::size_t length = std::min(bytes.size() - at, splits[piece % splits.size()] + 1);
    split->appendData(std::span(bytes).subspan(at, length));
    at += length;
  }

  for (const auto& outcome : {wholeOutcome, splitOutcome}) {
    if (outcome->headers > 1 || outcome->bodies > 1 || outcome->failures > 1) __builtin_trap();
    if (outcome->failures && outcome->bodies) __builtin_trap();
  }
  if (whole->body() != split->body() || whole->isWaitingForData() != split->isWaitingForData() ||
      whole->isHeaderComplete() != split->isHeaderComplete() || whole->statusCode() != split->statusCode() ||
      wholeOutcome->failures != splitOutcome->failures || wholeOutcome->bodies != splitOutcome->bodies) {
    __builtin_trap();
  }
  if (whole->body().size() > DQHTTPResponseAccumulator::kMaximumBodyLength) __builtin_trap();
  return 0;
}
