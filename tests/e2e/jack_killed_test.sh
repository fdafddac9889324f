#!/usr/bin/env bash
# The JACK server dies in the middle of a transfer: the updater's threads do not spin, the run
# ends with an error within the time-outs and the process exits; so does the device.
#   jack_killed_test.sh BUILD_DIR
# Runs on a server of its own, next to the shared one, since it kills it.
source "$(dirname "$0")/e2e_lib.sh"
require_jack
export_firmware

SCRIPTS=$(realpath "$(dirname "$0")/../../scripts")
export JACK_DEFAULT_SERVER=${JACK_DEFAULT_SERVER:-fen-test-$(id -u)}-killed
bash "$SCRIPTS/jack-server.sh" start >/dev/null || {
  fail "the second JACK server did not start"
  finish
}
server=$(cat "${TMPDIR:-/tmp}/fen-jack-$JACK_DEFAULT_SERVER.pid")
# A killed server keeps its entry in JACK's registry of servers, which holds eight: a server
# of the same name takes the entry over and, stopped in order, gives it back.
release_server() {
  bash "$SCRIPTS/jack-server.sh" start >/dev/null 2>&1
  bash "$SCRIPTS/jack-server.sh" stop >/dev/null 2>&1
}
trap 'release_server; e2e_cleanup' EXIT

# cpu_ticks PID: user and system time so far, in clock ticks.
cpu_ticks() { sed 's/^.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
# busy PID: the share of one CPU the process used over the next second, in percent.
busy() {
  local before after
  before=$(cpu_ticks "$1") || return 1
  sleep 1
  after=$(cpu_ticks "$1") || return 1
  echo $(((after - before) * 100 / $(getconf CLK_TCK)))
}

start_device dev || finish
device=$DEVICE_PID
: >TEST_LOG.txt
# The original time-outs: the run outlives the server long enough to watch its threads.
"$CLI" update --api jack --firmware "$FW" --allow-unsigned >out.txt 2>err.txt </dev/null &
cli=$!
wait_for 30 grep -q "Data transmit" out.txt || fail "the transfer did not start"
sleep 0.5
kill -KILL "$server"
killed=$(now)

cli_busy=$(busy "$cli" 2>/dev/null)
device_busy=$(busy "$device" 2>/dev/null)
check "the updater does not spin once the server is gone (${cli_busy:-?}% of a CPU)" \
  [ "${cli_busy:-100}" -lt 20 ]
# The device may have ended already, which is as good.
check "the device does not spin either (${device_busy:-ended}% of a CPU)" \
  [ "${device_busy:-0}" -lt 20 ]

if wait_for 45 ended "$cli"; then
  wait "$cli"
  status=$?
  took=$(elapsed "$killed")
  check "the run ends with a time-out error ($took s after the kill)" \
    [ "$status" = 5 -a "$(grep -c '^Error: Time out error' err.txt)" = 1 ]
  check "the time-out is in the log" grep -q "Time Out Error." TEST_LOG.txt
else
  fail "the updater still runs 45 s after the server died"
  kill -KILL "$cli"
fi
wait_device "$device" 10
check "the device noticed and ended (status $DEVICE_STATUS)" [ "$DEVICE_STATUS" = 4 ]

finish
