#!/usr/bin/env bash
# Whole updates over a private JACK server, one after another, under load, with core dumps
# kept: how a rare crash of the updater or the simulated device over JACK is hunted down.
#   scripts/jack-soak.sh BUILD_DIR [RUNS] [LOAD]
# RUNS defaults to 1000; LOAD is how many stress-ng CPU workers load the machine meanwhile (0:
# none; the default is one per core). Every run must end in "Version update completed." with
# the device's flash holding the images; a run that does not, and every core file, is kept in
# the soak's folder with its output. Ends with one line of figures.
set -uo pipefail
BUILD=$(cd "${1:?usage: jack-soak.sh BUILD_DIR [RUNS] [LOAD]}" && pwd)
RUNS=${2:-1000}
LOAD=${3:-$(nproc)}
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK=$(mktemp -d "${TMPDIR:-/tmp}/fen-jack-soak.XXXXXX")
export JACK_DEFAULT_SERVER=fen-soak-$$
CLI=$BUILD/tools/cli/fenupdator-cli
DEVSIM=$BUILD/tools/devsim/fen-devsim

cleanup() {
  [ -n "${STRESS:-}" ] && kill "$STRESS" 2>/dev/null
  bash "$ROOT/scripts/jack-server.sh" stop >/dev/null 2>&1
}
trap cleanup EXIT

ulimit -c unlimited
# Cores land in the working folder of the process that dumps, named after it, where the
# system lets a root run say so.
if [ -w /proc/sys/kernel/core_pattern ]; then
  OLD_PATTERN=$(cat /proc/sys/kernel/core_pattern)
  echo "core.%e.%p" >/proc/sys/kernel/core_pattern
  trap 'echo "$OLD_PATTERN" >/proc/sys/kernel/core_pattern; cleanup' EXIT
fi

bash "$ROOT/scripts/jack-server.sh" start >/dev/null
"$BUILD/tests/e2e/fen-export-firmware" "$WORK/firmware" >/dev/null || exit 1
if [ "$LOAD" -gt 0 ]; then
  command -v stress-ng >/dev/null || apt-get install -y -qq stress-ng >/dev/null
  stress-ng --cpu "$LOAD" --vm 1 --vm-bytes 256M --timeout 0 >/dev/null 2>&1 &
  STRESS=$!
fi

cd "$WORK"
failed=0 crashed=0 started=$SECONDS
for run in $(seq "$RUNS"); do
  mkdir -p "run$run" && cd "run$run" || exit 1
  "$DEVSIM" --api jack --pace instant --once --firmware "$WORK/firmware" --report dev.json \
    >dev.out 2>&1 </dev/null &
  dev=$!
  for _ in $(seq 200); do grep -qs "ready as" dev.out && break; sleep 0.05; done
  timeout 300 "$CLI" update --api jack --firmware "$WORK/firmware" --allow-unsigned \
    >out.txt 2>err.txt </dev/null
  status=$?
  for _ in $(seq 200); do kill -0 $dev 2>/dev/null || break; sleep 0.05; done
  kill $dev 2>/dev/null
  wait $dev
  dev_status=$?
  cores=$(ls core* 2>/dev/null | wc -l)
  if [ "$status" -ge 128 ] || [ "$dev_status" -ge 128 ] || [ "$cores" -gt 0 ]; then
    crashed=$((crashed + 1))
    echo "run $run: CRASH updater $status, device $dev_status, $cores core file(s) in $PWD"
  elif [ "$status" != 0 ] || ! grep -qF '"holds_images":true' dev.json; then
    failed=$((failed + 1))
    echo "run $run: updater exit $status, device $dev_status: $(tail -2 err.txt | tr '\n' ' ')"
  else
    cd "$WORK" && rm -rf "run$run"
  fi
  cd "$WORK"
  if [ $((run % 50)) = 0 ]; then
    echo "$run runs, $crashed crashed, $failed failed, $((SECONDS - started)) s"
  fi
done
echo "JACK soak: $RUNS runs under $LOAD stress-ng workers, $crashed crashed, $failed failed, $((SECONDS - started)) s; kept in $WORK"
[ "$crashed" = 0 ] && [ "$failed" = 0 ]
