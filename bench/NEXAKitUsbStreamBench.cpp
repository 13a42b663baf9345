// HTTP exchanges with the simulated printer through a URL connection
// (resolving, USB stream, response accumulator, consumer), each against its
// floor in the same binary. The USB trace goes to a temporary folder.
//
// - A small GET (a 1 KiB body, 512-byte packets) with every wait of the
//   exchange kept, against the floor of one exchange: the 0.1 s the stream
//   waits before it writes, then the same request written and the same answer
//   read through the pipe alone.
// - A GET of a 1 MiB chunked body (1024-byte reads of 512-byte packets),
//   against the same answer bytes moved through the pipe's synchronous bulk
//   reads alone. Argument 1 keeps every wait (the drain runs inside the 0.1 s
//   before the write); argument 0 shortens the waits to 1 ms to show the data
//   path, the drain's three empty reads included. The pipe reads run back to
//   back (0), or each after the same 0.1 s on the run loop that the exchange
//   waits before it reads (1): a CPU that idled for 0.1 s reads more slowly.
#include <benchmark/benchmark.h>

#include <chrono>
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
constexpr std::size_t kSmallBodySize = 1024;

using Responder = platform::VirtualPrinterHttpResponder;

std::shared_ptr<platform::HttpMessage> blob(std::size_t size) {
  auto response = platform::HttpMessage::makeResponse(200, "OK");
  response->setBody(platform::Data(size, 'x'));
  return response;
}

// The time the stream waits from its open to its write.
void idleAsTheStreamWaits() {
  const double wait = DQUSBStreamTiming().firstWriteDelay;
  platform::RunLoop::current().runUntil(
      std::chrono::steady_clock::now() +
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(wait)));
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
  // The IPP-over-USB interface's pipe, opened.
  std::shared_ptr<DQUSBPipe> openPipe() {
    device = DQUSBDevice::deviceWithService(service);
    interface = device->interfaceForDescriptor(device->deviceInfo()->interfaceDescriptors()[1]);
    auto pipe = std::make_shared<DQUSBPipe>(interface);
    return pipe->open(nullptr) ? pipe : nullptr;
  }
  std::shared_ptr<DQUSBDevice> device;
  std::shared_ptr<DQUSBInterface> interface;
};

// GETs `path` through a connection until the body came; false when it did not.
bool get(const std::shared_ptr<DQUSBStreamProvider>& provider, const std::string& path, std::size_t size) {
  provider->startResolving();
  auto consumer = DQURLDataAccumulationConsumer::make();
  auto connection =
      DQURLConnection::connectionWithGETRequest(*platform::Url::fromString("nexausb://SN0001" + path), provider, consumer);
  if (!connection || !connection->open(60, nullptr, nullptr)) return false;
  platform::RunLoop::current().runUntil([&] { return connection->isLoadingCompleted(); }, std::chrono::seconds(60));
  connection->close();
  return consumer->responseData().size() == size;
}

// Reads one answer of `size` bytes off the pipe; false when it came short.
bool readAnswer(DQUSBPipe& pipe, std::size_t size) {
  std::vector<std::uint8_t> buffer(DQUSBHTTPStream::kBlockSize);
  for (std::size_t read = 0; read < size;) {
    const std::size_t count = pipe.readToBuffer(buffer.data(), buffer.size(), 20.0, 60.0, nullptr);
    if (count == 0) return false;
    read += count;
  }
  return true;
}

void BM_UsbStreamSmallGet(benchmark::State& state) {
  Printer printer;
  Responder::attach(printer.model, 0, [body = blob(kSmallBodySize)](const Responder::Request&) { return body; });
  auto provider = std::make_shared<DQUSBStreamProvider>(*platform::Url::fromString("nexausb://SN0001/"), printer.bus);
  for (auto _ : state) {
    if (!get(provider, "/status", kSmallBodySize)) return state.SkipWithError("no answer");
  }
}
BENCHMARK(BM_UsbStreamSmallGet)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_UsbSmallExchangeFloor(benchmark::State& state) {
  Printer printer;
  Responder::attach(printer.model, 0, [body = blob(kSmallBodySize)](const Responder::Request&) { return body; });
  auto pipe = printer.openPipe();
  if (!pipe) return state.SkipWithError("open failed");
  auto request = platform::HttpMessage::makeRequest("GET", *platform::Url::fromString("nexausb://SN0001/status"));
  const auto bytes = request->serializedMessage();
  const std::size_t answer = Responder::encode(*blob(kSmallBodySize), 0, false).size();
  for (auto _ : state) {
    idleAsTheStreamWaits();
    if (!pipe->writeBuffer(bytes.data(), bytes.size(), nullptr)) return state.SkipWithError("write failed");
    if (!readAnswer(*pipe, answer)) return state.SkipWithError("short read");
  }
}
BENCHMARK(BM_UsbSmallExchangeFloor)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The 0.1 s first-write wait alone, as the run loop delivers it (GLib wakes
// for a deadline in whole milliseconds, so it comes up to 1 ms late): what
// "the exchange minus its timer" takes off.
void BM_UsbFirstWriteTimer(benchmark::State& state) {
  for (auto _ : state) idleAsTheStreamWaits();
}
BENCHMARK(BM_UsbFirstWriteTimer)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_UsbStreamChunkedGet(benchmark::State& state) {
  Printer printer;
  auto responder =
      Responder::attach(printer.model, 0, [body = blob(kBodySize)](const Responder::Request&) { return body; });
  responder->setChunkSize(kChunkSize);
  auto provider = std::make_shared<DQUSBStreamProvider>(*platform::Url::fromString("nexausb://SN0001/"), printer.bus);
  if (state.range(0) == 0) {
    DQUSBStreamTiming timing;
    timing.firstWriteDelay = timing.drainNoData = 0.001;
    provider->setStreamTiming(timing);
  }
  for (auto _ : state) {
    if (!get(provider, "/blob", kBodySize)) return state.SkipWithError("short body");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}
BENCHMARK(BM_UsbStreamChunkedGet)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_UsbPipeReadsOfTheSameAnswer(benchmark::State& state) {
  Printer printer;
  const auto body = blob(kBodySize);
  auto pipe = printer.openPipe();
  if (!pipe) return state.SkipWithError("open failed");
  for (auto _ : state) {
    if (state.range(0) == 1) {
      state.PauseTiming();
      idleAsTheStreamWaits();
      state.ResumeTiming();
    }
    // The printer makes its answer for each request in both cases.
    const auto answer = Responder::encode(*body, kChunkSize, false);
    printer.model->pushInput(0, answer);
    if (!readAnswer(*pipe, answer.size())) return state.SkipWithError("short read");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}
BENCHMARK(BM_UsbPipeReadsOfTheSameAnswer)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
