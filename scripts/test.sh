#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: once in a normal build (and
# once cross-built for Windows, run under Wine), once under AddressSanitizer +
# UndefinedBehaviorSanitizer, once under ThreadSanitizer; then runs each libFuzzer target for 15
# seconds (four targets: the run stays within its time budget; scripts/fuzz.sh runs longer).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

JOBS=$(nproc)
WERROR=OFF
if [ "${CI:-}" = "true" ]; then WERROR=ON; fi

# Each pass says how long it took, so that the whole run's cost can be kept in view.
SECONDS=0
phase_done() { echo "== $1: done at $((SECONDS / 60)) min $((SECONDS % 60)) s"; }

# SKIP, when set, is a ctest -E pattern of tests a pass leaves to the others.
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DFEN_WERROR=$WERROR "$@"
  cmake --build "$dir" -j "$JOBS"
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" --timeout 300 ${SKIP:+-E "$SKIP"})
}
# The scripts that plant files and drive the command line from outside test what the programs
# do with files, arguments and texts: the normal pass runs them all, AddressSanitizer those that
# feed the programs hostile input, ThreadSanitizer none (the threads they run are the engine's,
# whose own suites it runs). The whole test command then stays within its 40 minutes.

export QT_QPA_PLATFORM=offscreen
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
phase_done "normal build and tests"
# The Windows build (MinGW-w64), its tests under Wine: once, in the normal pass only.
# An absolute build folder, as a user may give one.
bash scripts/windows-test.sh "$PWD/build-win"
phase_done "Windows build and tests under Wine"
# The Windows build's updater under Wine against the kernel's USB MIDI stack, in the kernel
# test's VM (scripts/kernel-test.sh): it needs both builds above. 77: no qemu, skipped.
FEN_KERNEL_WINDOWS="$PWD/build-win" bash scripts/kernel-test.sh build build/kernel-test-windows ||
  [ $? = 77 ]
phase_done "Windows cases in the kernel test's VM"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  SKIP='^PlantedFiles$' run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DFEN_SANITIZE=address -DFEN_BUILD_BENCH=OFF
phase_done "AddressSanitizer + UndefinedBehaviorSanitizer"
# Without the desktop program: Qt is not built for ThreadSanitizer. The suppressions name
# libraries only (see the file).
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan-suppressions.txt" \
  SKIP='^(CommandLineUpdater|PlantedFiles|BadFilesAndArguments)$' run_suite build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFEN_SANITIZE=thread \
  -DFEN_BUILD_GUI=OFF -DFEN_BUILD_BENCH=OFF
phase_done "ThreadSanitizer"
FEN_FUZZ_BUILD=build-fuzz bash scripts/fuzz.sh 15
phase_done "fuzzing"
echo "All tests passed."
