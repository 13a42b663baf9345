// The byte-level parsers of the USB side: a chunked body decoded in the piece
// sizes a USB pipe delivers, against memcpy of the same bytes (the most any
// parser that must copy the body can do), and the device-ID parser.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "DQChunkedBodyParser.h"
#include "DQDeviceIDParser.h"

namespace {

constexpr std::size_t kBodyLength = 16 << 20;
constexpr std::size_t kChunkLength = 4096;

// A 16 MiB body in 4 KiB chunks, as a printer's HTTP server sends it.
const std::vector<std::uint8_t>& chunkedBody() {
  static const std::vector<std::uint8_t> body = [] {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(kBodyLength + kBodyLength / kChunkLength * 8 + 16);
    char line[16];
    for (std::size_t done = 0; done < kBodyLength; done += kChunkLength) {
      const int length = std::snprintf(line, sizeof line, "%zx\r\n", kChunkLength);
      bytes.insert(bytes.end(), line, line + length);
      for (std::size_t i = 0; i < kChunkLength; ++i) bytes.push_back(static_cast<std::uint8_t>('a' + (done + i) % 26));
      bytes.push_back('\r');
      bytes.push_back('\n');
    }
    const char last[] = "0\r\n\r\n";
    bytes.insert(bytes.end(), last, last + 5);
    return bytes;
  }();
  return body;
}

// Copies the decoded bytes into a body, as the response accumulator does.
struct BodySink : DQChunkedBodyParserDelegate {
  std::vector<std::uint8_t> body = std::vector<std::uint8_t>(kBodyLength);
  std::size_t length = 0;
  bool finished = false;
  void parser(DQChunkedBodyParser&, std::span<const std::uint8_t> data) override {
    std::memcpy(body.data() + length, data.data(), data.size());
    length += data.size();
  }
  void parserDidFinish(DQChunkedBodyParser&) override { finished = true; }
  void parser(DQChunkedBodyParser&, const platform::ErrorPtr&) override {}
};

void BM_ChunkedBodyParser(benchmark::State& state) {
  const auto& input = chunkedBody();
  const auto piece = static_cast<std::size_t>(state.range(0));
  const auto sink = std::make_shared<BodySink>();
  for (auto _ : state) {
    const auto parser = std::make_shared<DQChunkedBodyParser>();
    parser->setDelegate(sink);
    sink->length = 0;
    sink->finished = false;
    for (std::size_t at = 0; at < input.size(); at += piece) {
      parser->appendData(std::span(input).subspan(at, std::min(piece, input.size() - at)));
    }
    if (!sink->finished || sink->length != kBodyLength) state.SkipWithError("body not decoded");
    benchmark::DoNotOptimize(sink->body.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_ChunkedBodyParser)->Arg(512)->Arg(64 << 10)->Unit(benchmark::kMillisecond);

void BM_MemcpyOfTheChunkedBody(benchmark::State& state) {
  const auto& input = chunkedBody();
  const auto piece = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> output(input.size());
  for (auto _ : state) {
    for (std::size_t at = 0; at < input.size(); at += piece) {
      std::memcpy(output.data() + at, input.data() + at, std::min(piece, input.size() - at));
    }
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_MemcpyOfTheChunkedBody)->Arg(512)->Arg(64 << 10)->Unit(benchmark::kMillisecond);

void BM_DeviceIDParser(benchmark::State& state) {
  // 300 bytes, as a multifunction printer of the maker answers GET_DEVICE_ID.
  std::string deviceID =
      "MFG:Zarn;CMD:PJL,PCL,PCLXL,POSTSCRIPT,PDF,URF,PWGRaster;MDL:Zarn Office Pro 9010 series;"
      "CLS:PRINTER;DES:Zarn Office Pro 9010 series multifunction;CID:ZRN_PCL5c;SN:CN12A3B45C;"
      "SCNDIS:USB#FF#CC#00,USB#07#01#02;NEXADIS:USB#07#01#04,USB#FF#CC#00;ST:0380A0C4840010;";
  deviceID.resize(300, ' ');
  for (auto _ : state) {
    const auto parser = DQDeviceIDParser::parserWithDeviceIDString(deviceID);
    benchmark::DoNotOptimize(parser->modelName());
    benchmark::DoNotOptimize(parser->manufacturer());
    benchmark::DoNotOptimize(parser->serialNumber());
    benchmark::DoNotOptimize(parser->NEXAIS());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * deviceID.size()));
}
BENCHMARK(BM_DeviceIDParser);

}  // namespace
