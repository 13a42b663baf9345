// One HTTP exchange with a printer through the real libusb back end, the
// printer served by umockdev: resolving (a devices searcher started and
// stopped, the printer's snapshot read through control transfers), the
// stream's open (claim, alternate setting), the request written, the answer
// read, the close (release, the device object disconnected). Against the
// floor of any exchange: the stream's 0.1 s timer between open and write,
// spun on the same run loop. Argument 1 keeps every wait of the stream's
// timing; argument 0 shortens the idle drain read before the write to 1 ms,
// to show what the host costs beside the timer.
//
// The binary runs under umockdev-wrapper (scripts/run-benchmarks.sh starts
// every *UmockdevBench so).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "DQURLConnection.h"
#include "DQURLDataAccumulationConsumer.h"
#include "DQUSBConstatns.h"
#include "DQUSBDevicesSearcher.h"
#include "DQUSBStreamProvider.h"
#include "Dispatch/Timer.h"
#include "NEXAKitUsbBenchSupport.h"
#include "Simulation/Usb/VirtualPrinterHttpResponder.h"
#include "UmockdevBus.h"

namespace {

using Responder = platform::VirtualPrinterHttpResponder;

// The maker's printer whose interface 0 (alternates 7-1-2 and 7-1-4) serves
// NEXA over 512-byte packets, with serial number SN0001.
platform::VirtualPrinter::Description printerDescription() {
  using Model = platform::VirtualPrinter;
  auto made = Model::standardDescription(DQUSBConstatns::ZarnVendorID(), 512);
  made.deviceIDs[{0, 0}] = Model::deviceIDAnswer("MFG:Zarn;MDL:Virtual 100;SN:SN0001;", Model::LengthField::TextOnly);
  made.deviceIDs[{0, 1}] =
      Model::deviceIDAnswer("MFG:Zarn;MDL:Virtual 100;NEXADIS:USB#07#01#04;", Model::LengthField::CountsItself);
  return made;
}

UmockdevBus& bus() {
  static UmockdevBus* made = new UmockdevBus(printerDescription());  // lives as libusb's context does
  return *made;
}

void BM_FirstWriteTimerFloor(benchmark::State& state) {
  const double delay = DQUSBStreamTiming().firstWriteDelay;
  for (auto _ : state) {
    bool fired = false;
    auto timer = platform::Timer::scheduled(platform::RunLoop::current(), delay, false,
                                            [&](platform::Timer&) { fired = true; });
    platform::RunLoop::current().runUntil([&] { return fired; }, std::chrono::seconds(5));
  }
}
BENCHMARK(BM_FirstWriteTimerFloor)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

void BM_LibusbExchange(benchmark::State& state) {
  auto responder = Responder::attach(bus().printer(), 0, [](const Responder::Request&) {
    auto response = platform::HttpMessage::makeResponse(200, "OK");
    response->setBody(platform::Data(1024, 'x'));
    return response;
  });
  auto provider = std::make_shared<DQUSBStreamProvider>(*platform::Url::fromString("nexausb://SN0001/"));
  if (state.range(0) == 0) {
    DQUSBStreamTiming timing;
    timing.drainNoData = 0.001;
    provider->setStreamTiming(timing);
  }
  const auto url = *platform::Url::fromString("nexausb://SN0001/status");
  for (auto _ : state) {
    provider->startResolving();
    if (!provider->isResolved()) return state.SkipWithError("not resolved");
    auto consumer = DQURLDataAccumulationConsumer::make();
    auto connection = DQURLConnection::connectionWithGETRequest(url, provider, consumer);
    if (!connection->open(60, nullptr, nullptr)) return state.SkipWithError("open failed");
    platform::RunLoop::current().runUntil([&] { return connection->isLoadingCompleted(); }, std::chrono::seconds(60));
    connection->close();
    if (consumer->responseStatusCode() != 200 || consumer->responseData().size() != 1024)
      return state.SkipWithError("wrong answer");
  }
}
BENCHMARK(BM_LibusbExchange)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The searcher's share of resolving: started (the present printer's snapshot
// read inside the start) and stopped.
void BM_LibusbSearcherStartStop(benchmark::State& state) {
  for (auto _ : state) {
    auto searcher = std::make_shared<DQUSBDevicesSearcher>();
    if (!searcher->startInRunLoop(platform::RunLoop::current(), nullptr, nullptr))
      return state.SkipWithError("start failed");
    searcher->stop();
  }
}
BENCHMARK(BM_LibusbSearcherStartStop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  BenchTraceFolder trace;
  bus();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
