// A GET of a 1 MiB chunked body from the simulated printer through a URL
// connection (resolving, USB stream, response accumulator, consumer), against
// the same answer bytes moved through the pipe's synchronous bulk reads
// alone. Both read 1024 bytes at a time from 512-byte packets; the USB trace
// goes to a temporary folder. An exchange waits 0.1 s before writing and
// 0.2 s in the drain read before it: argument 1 keeps those waits, argument 0
// shortens them to 1 ms to show the cost of the data path alone.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "DQUSBConstatns.h"
#include "DQURLConnection.h"
#include "DQURLDataAccumulationConsumer.h"
#include "DQUSBPipe.h"
#include "DQUSBStreamProvider.h"
#include "NEXAKitUsbBenchSupport.h"
#include "Simulation/Usb/VirtualPrinterHttpResponder.h"

namespace {

constexpr std::size_t kBodySize = 1024 * 1024;
constexpr std::size_t kChunkSize = 4096;

using Responder = platform::VirtualPrinterHttpResponder;

std::shared_ptr<platform::HttpMessage> blob() {
  auto response = platform::HttpMessage::makeResponse(200, "OK");
  response->setBody(platform::Data(kBodySize, 'x'));
  return response;
}

// A printer of the maker whose interface 0 (alternates 7-1-2 and 7-1-4) serves
// NEXA over 512-byte packets.
struct Printer : BenchPrinter {
  Printer() : BenchPrinter(description()) {}
  static platform::VirtualPrinter::Description description() {
    using Model = platform::VirtualPrinter;
    auto made = Model::standardDescription(DQUSBConstatns::ZarnVendorID(), 512);
    made.deviceIDs[{0, 1}] =
        Model::deviceIDAnswer("MFG:Zarn;MDL:Virtual 100;NEXADIS:USB#07#01#04;", Model::LengthField::CountsItself);
    return made;
  }
};

void BM_UsbStreamChunkedGet(benchmark::State& state) {
  Printer printer;
  auto responder = Responder::attach(printer.model, 0, [body = blob()](const Responder::Request&) { return body; });
  responder->setChunkSize(kChunkSize);
  auto provider = std::make_shared<DQUSBStreamProvider>(*platform::Url::fromString("nexausb://SN0001/"), printer.bus);
  if (state.range(0) == 0) {
    DQUSBStreamTiming timing;
    timing.firstWriteDelay = timing.drainNoData = 0.001;
    provider->setStreamTiming(timing);
  }
  const auto url = *platform::Url::fromString("nexausb://SN0001/blob");
  for (auto _ : state) {
    provider->startResolving();
    auto consumer = DQURLDataAccumulationConsumer::make();
    auto connection = DQURLConnection::connectionWithGETRequest(url, provider, consumer);
    if (!connection->open(60, nullptr, nullptr)) return state.SkipWithError("open failed");
    platform::RunLoop::current().runUntil([&] { return connection->isLoadingCompleted(); }, std::chrono::seconds(60));
    connection->close();
    if (consumer->responseData().size() != kBodySize) return state.SkipWithError("short body");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}
BENCHMARK(BM_UsbStreamChunkedGet)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_UsbPipeReadsOfTheSameAnswer(benchmark::State& state) {
  Printer printer;
  const auto body = blob();
  auto device = DQUSBDevice::deviceWithService(printer.service);
  auto interface = device->interfaceForDescriptor(device->deviceInfo()->interfaceDescriptors()[1]);
  DQUSBPipe pipe(interface);
  if (!pipe.open(nullptr)) return state.SkipWithError("open failed");
  std::vector<std::uint8_t> buffer(DQUSBHTTPStream::kBlockSize);
  for (auto _ : state) {
    // The printer makes its answer for each request in both cases.
    const auto answer = Responder::encode(*body, kChunkSize, false);
    printer.model->pushInput(0, answer);
    std::size_t read = 0;
    while (read < answer.size()) {
      const std::size_t count = pipe.readToBuffer(buffer.data(), buffer.size(), 20.0, 60.0, nullptr);
      if (count == 0) return state.SkipWithError("short read");
      read += count;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}
BENCHMARK(BM_UsbPipeReadsOfTheSameAnswer)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
