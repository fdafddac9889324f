// Cost of the per-block work of the send path: packing, CRC and building a whole Write Block
// in place. Prints nanoseconds per block and per byte.
// Last line: build_ns_per_byte=... pack_ns_per_byte=... crc_ns_per_byte=... build_ns_per_block=...
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
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

// Packing plus CRC plus header: one whole Write Block built in the send buffer.
void BM_BuildWriteBlock(benchmark::State& state) {
  const auto data = Block();
  std::vector<std::uint8_t> buffer(fen::kSendBufferSize);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        fen::BuildWriteBlock(buffer.data(), 0x57, data.data(), 0x0F0000, fen::kBlockLength));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * fen::kBlockLength);
  state.counters["ns_per_byte"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * fen::kBlockLength,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BuildWriteBlock);

// Keeps the CPU time per iteration of each benchmark for the closing line.
class KeepingReporter : public benchmark::ConsoleReporter {
 public:
  // Plain text: the output goes to logs and scripts as often as to a terminal.
  KeepingReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        ns_[run.run_name.function_name] =
            run.cpu_accumulated_time * 1e9 / static_cast<double>(run.iterations);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double ns(const std::string& name) const {
    auto it = ns_.find(name);
    return it == ns_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> ns_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  KeepingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const double bytes = fen::kBlockLength;
  std::printf(
      "build_ns_per_byte=%.3f pack_ns_per_byte=%.3f crc_ns_per_byte=%.3f "
      "build_ns_per_block=%.0f\n",
      reporter.ns("BM_BuildWriteBlock") / bytes, reporter.ns("BM_PackSevenBit") / bytes,
      reporter.ns("BM_BlockCrc") / bytes, reporter.ns("BM_BuildWriteBlock"));
  return 0;
}
