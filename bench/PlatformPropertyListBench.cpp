// Writing a binary property list in which one data item is referred to many
// times, against a flat array of distinct data items of the same total size
// (the same file size): the shared item is measured and written once. Reading
// a dictionary of many keys in each form, whose time grows with its size.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "Archiving/PropertyList.h"
#include "Values/Dictionary.h"

using namespace platform;

namespace {

void write(benchmark::State& state, const Value& value) {
  for (auto _ : state) {
    auto bytes = PropertyList::write(value, PropertyListFormat::Binary);
    if (!bytes) {
      state.SkipWithError("refused");
      break;
    }
    benchmark::DoNotOptimize(bytes);
  }
}

}  // namespace

// Arguments: references, bytes of the one data item.
static void BM_WriteSharedData(benchmark::State& state) {
  const auto references = static_cast<std::size_t>(state.range(0));
  const Value value(Array(references, Value(Data(static_cast<std::size_t>(state.range(1)), 0x5A))));
  write(state, value);
}

// Arguments: items, bytes of all items together.
static void BM_WriteDistinctData(benchmark::State& state) {
  const auto items = static_cast<std::size_t>(state.range(0));
  Array distinct;
  for (std::size_t i = 0; i < items; ++i) {
    Data bytes(static_cast<std::size_t>(state.range(1)) / items, 0x5A);
    std::memcpy(bytes.data(), &i, std::min(sizeof i, bytes.size()));
    distinct.push_back(Value(std::move(bytes)));
  }
  write(state, Value(std::move(distinct)));
}

// Past what the reader takes (4,000 MiB once expanded): the time to refuse.
static void BM_RefuseSharedDataPastTheReader(benchmark::State& state) {
  const Value value(Array(4000, Value(Data(1 << 20, 0x5A))));
  for (auto _ : state) benchmark::DoNotOptimize(PropertyList::write(value, PropertyListFormat::Binary));
}

BENCHMARK(BM_WriteSharedData)->Args({100, 1 << 20})->Args({256, 1 << 20})->Args({4000, 64 << 10})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteDistinctData)->Args({100, 1 << 20})->Args({256, 1 << 20})->Args({4000, 64 << 10})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefuseSharedDataPastTheReader)->Unit(benchmark::kMillisecond);

// glibc gives freed memory back to the system between iterations only past a
// size, which the value of 400k keys passes and that of 100k does not: the
// larger read would then fault in every page of its value again (some 30k
// pages an iteration) while the smaller reuses its memory, and the ratio of
// the two would measure the allocator rather than the reader. The reads
// therefore keep their heap (for the rest of the binary too).
static void keepTheHeap() {
  static const bool kept = [] {
    mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    return true;
  }();
  (void)kept;
}

// Argument: keys of one dictionary, each with a short string, an integer or a
// real, as a settings file holds them.
static void readDictionary(benchmark::State& state, PropertyListFormat format) {
  keepTheHeap();
  Dictionary keys;
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    const std::string key = "key" + std::to_string(i);
    switch (i % 3) {
      case 0: keys.set(key, Value("value " + std::to_string(i))); break;
      case 1: keys.set(key, Value(i)); break;
      default: keys.set(key, Value(static_cast<double>(i) / 4)); break;
    }
  }
  const auto bytes = PropertyList::write(Value(std::move(keys)), format);
  if (!bytes) {
    state.SkipWithError("not written");
    return;
  }
  for (auto _ : state) {
    const Value value = PropertyList::read(*bytes);
    if (value.isNil()) {
      state.SkipWithError("not read");
      break;
    }
    benchmark::DoNotOptimize(value);
  }
  state.counters["bytes"] = static_cast<double>(bytes->size());
}

static void BM_ReadXmlDictionary(benchmark::State& state) { readDictionary(state, PropertyListFormat::Xml); }
static void BM_ReadBinaryDictionary(benchmark::State& state) { readDictionary(state, PropertyListFormat::Binary); }

BENCHMARK(BM_ReadXmlDictionary)->Arg(100000)->Arg(400000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadBinaryDictionary)->Arg(100000)->Arg(400000)->Unit(benchmark::kMillisecond);
