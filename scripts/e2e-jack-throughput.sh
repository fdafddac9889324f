#!/usr/bin/env bash
# Whole-update time over JACK against the floor JACK sets: MIDI moves once per period, so each
# of the 1908 blocks needs at least two periods (there and back).
#   scripts/e2e-jack-throughput.sh [--sync] [--runs N] [BUILD_DIR] [PERIOD...]
# Defaults: build, 3 runs, periods 64 and 256 at 48 kHz on a private dummy-driver server in
# JACK's default (asynchronous) mode, as a user's server runs; --sync runs it synchronous.
# The updater runs with its original time-outs against fen-devsim at instant pace.
set -euo pipefail
cd "$(dirname "$0")/.."

SYNC=()
RUNS=3
while [ $# -gt 0 ]; do
  case "$1" in
    --sync) SYNC=(-S -t 200); shift ;;
    --runs) RUNS=$2; shift 2 ;;
    *) break ;;
  esac
done
BUILD=$(realpath "${1:-build}")
shift || true
PERIODS=("$@")
[ ${#PERIODS[@]} -gt 0 ] || PERIODS=(64 256)
RATE=48000
BLOCKS=1908

DEVSIM=$BUILD/tools/devsim/fen-devsim
CLI=$BUILD/tools/cli/fenupdator-cli
EXPORT=$BUILD/tests/e2e/fen-export-firmware
for program in "$DEVSIM" "$CLI" "$EXPORT"; do
  [ -x "$program" ] || { echo "missing $program: build first" >&2; exit 2; }
done

work=$(mktemp -d)
server_pid=
NAME=
remove_leftovers() {
  [ -n "$NAME" ] && rm -rf /dev/shm/jack_"$NAME"_* /dev/shm/jack_sem.*_"$NAME"_* 2>/dev/null || true
}
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
  remove_leftovers
}
trap 'stop_server; rm -rf "$work"' EXIT
"$EXPORT" "$work"

# One update: prints "<update seconds> <process seconds> <blocks sent again> <identity requests>".
one_run() {
  local report=$work/report.json start first="" done="" line
  "$DEVSIM" --api jack --pace instant --once --firmware "$work" --report "$report" \
    >"$work/device.out" 2>&1 </dev/null &
  local device=$!
  for _ in $(seq 100); do
    grep -qs "ready as" "$work/device.out" && break
    sleep 0.05
  done
  start=$EPOCHREALTIME
  # The update runs from the controls being disabled to the completion text; the rest is
  # start-up and listing the ports.
  while IFS= read -r line; do
    case "$line" in
      *'"call":"disable"'*) first=$EPOCHREALTIME ;;
      *'Version update completed.'*) done=$EPOCHREALTIME ;;
    esac
  done < <("$CLI" update --api jack --firmware "$work" --allow-unsigned --json </dev/null 2>"$work/cli.err")
  local total
  total=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')
  wait "$device" || true
  if [ -z "$first" ] || [ -z "$done" ]; then
    echo "the update did not complete: $(cat "$work/cli.err")" >&2
    return 1
  fi
  local again identity
  again=$(grep -o '"blocks_sent_again":[0-9]*' "$report" | cut -d: -f2)
  identity=$(grep -o '"identity_requests":[0-9]*' "$report" | cut -d: -f2)
  awk -v a="$first" -v b="$done" -v t="$total" -v r="$again" -v i="$identity" \
    'BEGIN { printf "%.2f %s %s %s\n", b - a, t, r, i }'
}

mode="asynchronous"
[ ${#SYNC[@]} -eq 0 ] || mode="synchronous (${SYNC[*]})"
echo "JACK dummy driver, $RATE Hz, $mode; $RUNS runs each; the load average is $(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-7s %-9s %-12s %-10s %-10s %-8s %s\n" period "2 periods" "floor" "update" "process" ratio \
  "again/identity"
for period in "${PERIODS[@]}"; do
  NAME=fen-throughput-$$-$period
  export JACK_DEFAULT_SERVER=$NAME
  remove_leftovers
  setsid jackd -n "$NAME" "${SYNC[@]}" -d dummy -r $RATE -p "$period" -C 0 -P 0 \
    </dev/null >"$work/jackd.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do
    jack_lsp >/dev/null 2>&1 && break
    sleep 0.1
  done
  floor=$(awk -v p="$period" -v r=$RATE -v n=$BLOCKS 'BEGIN { printf "%.2f", n * 2 * p / r }')
  round=$(awk -v p="$period" -v r=$RATE 'BEGIN { printf "%.2f ms", 2000 * p / r }')
  for run in $(seq "$RUNS"); do
    read -r update total again identity < <(one_run) || { stop_server; exit 1; }
    ratio=$(awk -v u="$update" -v f="$floor" 'BEGIN { printf "%.2f", u / f }')
    printf "%-7s %-9s %-12s %-10s %-10s %-8s %s\n" "$period" "$round" "$floor s" "$update s" \
      "$total s" "$ratio" "$again/$identity"
  done
  stop_server
done
echo "update: from the controls disabled to \"Version update completed.\" (it includes the"
echo "original 500 ms pause after Begin Update and five erase replies); ratio = update / floor."
