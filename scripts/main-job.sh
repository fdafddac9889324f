#!/usr/bin/env bash
# The main job: installs what is missing, builds the programs the README goes on to use (the
# desktop program, the command-line updater, the simulated device and the firmware export) and
# runs a full update of the built-in simulated device, which then confirms that its flash holds
# the images.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target fenupdator fenupdator-cli fen-devsim fen-export-firmware -j "$(nproc)"
exec ./build/tools/cli/fenupdator-cli update --simulate "$@"
