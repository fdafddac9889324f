#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each on its corpus in fuzz/corpus/<target>/.
#   scripts/fuzz.sh [SECONDS]          each target for SECONDS (default 60)
#   scripts/fuzz.sh --runs N           each target for N executions
#   scripts/fuzz.sh --merge [SECONDS]  also fold what the run found, minimised, into the corpus
# New inputs go to a scratch folder; a crash, leak or hang is written to fuzz-findings/ and ends
# the script with a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

LIMIT=(-max_total_time=60)
MERGE=0
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) LIMIT=(-runs="$2"); shift 2 ;;
    --merge) MERGE=1; shift ;;
    *) LIMIT=(-max_total_time="$1"); shift ;;
  esac
done

BUILD=${FEN_FUZZ_BUILD:-build-fuzz}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFEN_FUZZ=ON -DFEN_BUILD_GUI=OFF -DFEN_BUILD_BENCH=OFF \
  -DFEN_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target input_port_fuzz device_parser_fuzz release_fuzz midi_framer_fuzz \
  -j "$(nproc)"

mkdir -p fuzz-findings
for target in input_port device_parser release midi_framer; do
  options=(-timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=fuzz-findings/$target-)
  # The input port's session lives across inputs on purpose (a run waits while traffic comes),
  # so a per-input leak check would only see its working memory; leaks are the ASan suite's.
  # Its inputs are lists of driver events, a long buffer being one short event.
  [ $target = input_port ] && options+=(-detect_leaks=0 -max_len=1024)
  scratch=$(mktemp -d)
  log=$(mktemp)
  status=0
  "$BUILD/fuzz/${target}_fuzz" "${LIMIT[@]}" "${options[@]}" "$scratch" "fuzz/corpus/$target" \
    >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  if [ $status != 0 ]; then
    grep -E "ERROR|SUMMARY|Test unit written|timeout|leak" "$log" | head -20
    echo "$target: FINDING after ${runs:-?} executions (see fuzz-findings/)"
    rm -rf "$scratch" "$log"
    exit 1
  fi
  echo "$target: ${runs} executions (${rate}/s), no finding"
  if [ $MERGE = 1 ]; then
    "$BUILD/fuzz/${target}_fuzz" -merge=1 "${options[@]}" "fuzz/corpus/$target" "$scratch" \
      >/dev/null 2>&1
    echo "$target: corpus now $(ls "fuzz/corpus/$target" | wc -l) files"
  fi
  rm -rf "$scratch" "$log"
done
