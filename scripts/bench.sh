#!/usr/bin/env bash
# Builds and runs every benchmark: the codec, the reply path, the link model, many devices at
# once and the idle cost (of the desktop program too, when Qt is there). Each benchmark's whole
# output goes to BUILD/bench-results/NAME.txt; the closing lines, one per benchmark, come last.
# Usage: scripts/bench.sh [--quick]   (--quick: idle 3 s instead of 10 s, fewer codec repeats)
# BUILD_DIR chooses the build folder (default build-bench).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD_DIR:-build-bench}
IDLE_SECONDS=10
CODEC_ARGS=()
if [ "${1:-}" = "--quick" ]; then
  IDLE_SECONDS=3
  CODEC_ARGS=(--benchmark_min_time=0.1)
fi

GUI=OFF
if pkg-config --exists Qt6Widgets 2>/dev/null; then GUI=ON; fi
TARGETS=(bench_codec bench_reply_path bench_link bench_many bench_idle)
if [ $GUI = ON ]; then TARGETS+=(fenupdator); fi

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFEN_BUILD_TESTS=OFF \
  -DFEN_BUILD_BENCH=ON -DFEN_BUILD_GUI=$GUI >/dev/null
cmake --build "$BUILD" --target "${TARGETS[@]}" -j "$(nproc)"

RESULTS=$BUILD/bench-results
mkdir -p "$RESULTS"
run() {
  local name=$1
  shift
  echo "== $name"
  "$@" 2>&1 | tee "$RESULTS/$name.txt"
}

echo "machine: $(nproc) processors, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
run bench_codec "$BUILD/bench/bench_codec" "${CODEC_ARGS[@]}"
run bench_reply_path "$BUILD/bench/bench_reply_path" --runs 3
# The same on one processor: every thread hand-over is then a switch on that processor, not a
# wake-up of the other one, which costs far more on a virtual machine.
if command -v taskset >/dev/null; then
  run bench_reply_path_one_cpu taskset -c 0 "$BUILD/bench/bench_reply_path" --runs 3
fi
run bench_link "$BUILD/bench/bench_link"
# The same with a simulated device that sleeps between its modelled moments: its own late
# wake-ups then count against the host.
run bench_link_sleeping_device "$BUILD/bench/bench_link" --sleeping-device
run bench_many "$BUILD/bench/bench_many"
IDLE_ARGS=(--seconds "$IDLE_SECONDS")
if [ $GUI = ON ]; then IDLE_ARGS+=(--program "$BUILD/src/app/fenupdator"); fi
run bench_idle "$BUILD/bench/bench_idle" "${IDLE_ARGS[@]}"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

echo "== closing lines"
for name in bench_codec bench_reply_path bench_reply_path_one_cpu bench_link bench_link_sleeping_device bench_many bench_idle; do
  if [ -f "$RESULTS/$name.txt" ]; then echo "$name: $(tail -n 1 "$RESULTS/$name.txt")"; fi
done
