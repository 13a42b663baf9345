// The USB host layer against the simulated printer: 16 MiB sent in 512-byte
// bulk packets through the host's synchronous transfers, and through the
// pipe (a run-loop wait and a trace item per packet), against memcpy of the
// same bytes; and the time to take a printer's snapshot.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <memory>
#include <vector>

#include "DQUSBConstatns.h"
#include "DQUSBDevice.h"
#include "DQUSBDeviceInfo.h"
#include "DQUSBPipe.h"
#include "NEXAKitUsbBenchSupport.h"

namespace {

constexpr std::size_t kLength = 16 << 20;
constexpr std::size_t kPacket = 512;

const std::vector<std::uint8_t>& payload() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> made(kLength);
    for (std::size_t i = 0; i < kLength; ++i) made[i] = static_cast<std::uint8_t>(i * 31);
    return made;
  }();
  return bytes;
}

// A printer on a simulated bus: interface 0, alternate 0 with bulk 0x01 and
// 0x81 of 512-byte packets.
struct Printer : BenchPrinter {
  Printer() : BenchPrinter(description()) {}
  static platform::VirtualPrinter::Description description() {
    auto made = platform::VirtualPrinter::standardDescription(DQUSBConstatns::ZarnVendorID(), kPacket);
    made.deviceIDs[{0, 0}] = platform::VirtualPrinter::deviceIDAnswer(
        "MFG:Zarn;MDL:Virtual 100;SN:SN0001;", platform::VirtualPrinter::LengthField::CountsItself);
    made.deviceInfoDescriptor = std::vector<std::uint8_t>{10, 0x21, 1, 0, 0, 2, 0x12, 0x00, 0, 0};
    return made;
  }
};

void BM_MemcpyBaseline(benchmark::State& state) {
  std::vector<std::uint8_t> target(kLength);
  for (auto _ : state) {
    for (std::size_t at = 0; at < kLength; at += kPacket) std::memcpy(target.data() + at, payload().data() + at, kPacket);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLength));
}
BENCHMARK(BM_MemcpyBaseline)->Unit(benchmark::kMillisecond);

void BM_HostBulkOutInPackets(benchmark::State& state) {
  Printer printer;
  std::shared_ptr<platform::UsbDeviceHandle> handle;
  printer.service->open(handle);
  handle->claimInterface(0);
  auto& bytes = payload();
  for (auto _ : state) {
    for (std::size_t at = 0; at < kLength; at += kPacket) {
      std::size_t done = 0;
      handle->bulk(0x01, std::span(const_cast<std::uint8_t*>(bytes.data()) + at, kPacket), done,
                   platform::UsbMillis(1000));
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLength));
}
BENCHMARK(BM_HostBulkOutInPackets)->Unit(benchmark::kMillisecond);

void BM_PipeWriteInPackets(benchmark::State& state) {
  Printer printer;
  auto device = DQUSBDevice::deviceWithService(printer.service);
  auto interface = device->interfaceForDescriptor(device->deviceInfo()->interfaceDescriptors()[0]);
  DQUSBPipe pipe(interface);
  pipe.open(nullptr);
  for (auto _ : state) pipe.writeBuffer(payload().data(), kLength, nullptr);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLength));
}
BENCHMARK(BM_PipeWriteInPackets)->Unit(benchmark::kMillisecond);

void BM_DeviceSnapshot(benchmark::State& state) {
  Printer printer;
  for (auto _ : state) benchmark::DoNotOptimize(DQUSBDeviceInfo::deviceInfoForInterface(printer.service));
}
BENCHMARK(BM_DeviceSnapshot)->Unit(benchmark::kMicrosecond);

}  // namespace
