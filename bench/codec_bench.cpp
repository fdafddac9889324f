// Cost of the per-block work of the send path: packing, CRC and building a whole Write Block
// in place. Prints nanoseconds per block and bytes per second.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "protocol/crc32.h"
#include "protocol/messages.h"
#include "protocol/seven_bit.h"

namespace {

std::vector<std::uint8_t> Block() {
  std::vector<std::uint8_t> data(fen::kBlockLength);
  std::mt19937 rng(1);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  return data;
}

void BM_PackSevenBit(benchmark::State& state) {
  const auto data = Block();
  std::vector<std::uint8_t> out(static_cast<std::size_t>(fen::PackedSize(fen::kBlockLength)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(fen::PackSevenBit(out.data(), data.data(), fen::kBlockLength));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * fen::kBlockLength);
}
BENCHMARK(BM_PackSevenBit);

void BM_BlockCrc(benchmark::State& state) {
  const auto data = Block();
  for (auto _ : state) benchmark::DoNotOptimize(fen::BlockCrc(data.data(), data.size()));
  state.SetBytesProcessed(state.iterations() * fen::kBlockLength);
}
BENCHMARK(BM_BlockCrc);

void BM_BuildWriteBlock(benchmark::State& state) {
  const auto data = Block();
  std::vector<std::uint8_t> buffer(fen::kSendBufferSize);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        fen::BuildWriteBlock(buffer.data(), 0x57, data.data(), 0x0F0000, fen::kBlockLength));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * fen::kBlockLength);
  state.counters["ns_per_byte"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * fen::kBlockLength,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BuildWriteBlock);

}  // namespace
