#!/usr/bin/env bash
# The full fault soak: builds fen-soak and runs 500 whole updates against the simulated device,
# each with its own random fault mix. Arguments go to fen-soak (e.g. --runs 1000, --seed 7,
# --replay RUN-SEED to replay one run in detail).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${FEN_SOAK_BUILD:-build-soak}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFEN_BUILD_GUI=OFF \
  -DFEN_BUILD_BENCH=OFF -DFEN_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target fen-soak -j "$(nproc)"
if [ $# = 0 ]; then set -- --runs 500; fi
exec "$BUILD/tools/soak/fen-soak" "$@"
