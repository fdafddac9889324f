#!/usr/bin/env bash
# fenupdator-cli updates fen-devsim over a real JACK server: exit statuses, texts, TEST_LOG.txt
# and what the device itself reports, for a whole update and for each kind of failure.
#   cli_jack_test.sh BUILD_DIR
source "$(dirname "$0")/e2e_lib.sh"
require_jack transfers
export_firmware

# update ARGS...: one run of the updater against the pre-selected device; status in STATUS.
# The original time-outs, unless a time-out is what the run is about: a run that waits for
# none takes no longer with them, and a loaded machine cannot fail it by a late reply.
TIMEOUTS=original
update() {
  : >TEST_LOG.txt
  timeout 120 "$CLI" update --api jack --firmware "$FW" --allow-unsigned --timeouts $TIMEOUTS "$@" \
    >out.txt 2>err.txt </dev/null
  STATUS=$?
}

# expect NAME STATUS TEXT LOG: the last run's exit status, its last text and the log lines.
expect() { expect_outcome "$1" "$STATUS" "$2" "$3" "$4"; }

# A whole update of a device with FAULTS: the device ends by itself once it has answered the
# Finish Update, and must hold the images.
whole_update() {
  local name=$1 log=$2
  shift 2
  start_device dev --once "$@" || return
  local pid=$DEVICE_PID started
  started=$(now)
  update
  expect "$name" 0 "Version update completed." "$log"
  echo "     ($(elapsed "$started") s)"
  wait_device "$pid" 20
  check "$name: the device ended by itself and its flash holds the images" device_holds_images
}
device_holds_images() { [ "$DEVICE_STATUS" = 0 ] && report_has dev '"holds_images":true'; }

# A run that fails: the device is stopped afterwards and reports what it saw.
failed_update() {
  local name=$1 status=$2 text=$3 log=$4
  shift 4
  start_device dev "$@" || return
  local pid=$DEVICE_PID
  update
  expect "$name" "$status" "$text" "$log"
  stop_device "$pid"
}

whole_update "full update" ""
check "full update: every block arrived whole, nothing refused" \
  report_has dev '"rejected":0' '"malformed":0' '"crc_errors":0'

# Model 0x61, and its own Identity Request and vendor requests in the middle of the transfer:
# each is answered as the dispatcher must, with the model the updater has detected.
whole_update "model 0x61 asking the host during the transfer" "" \
  --model 0x61 identity-request@4 vendor-request@5=0x05 vendor-request@6=0x01 \
  vendor-request@7=0x20 identity-request@900
check "model 0x61: its requests were answered right" \
  report_has dev '"model_id":"0x61"' '"sent":5,"right":5,"wrong":0,"unanswered":0' \
  'Identity Reply naming model 0x61'

whole_update "CRC and flash errors recovered" \
  "(CRC)Transfer error occurred.|(CRC)Transfer error occurred.|(Flash Write)Transfer error occurred." \
  crc@5x2 flash@700
check "CRC and flash errors: all three were played" report_has dev '"faults_played_count":3'
check "CRC and flash errors: the blocks came again" at_least dev blocks_sent_again 3

# The reply to block 20 comes after its time-out, the next block is answered with an error:
# the stale reply must not pass for block 21's answer.
whole_update "late reply then an error on the next block" "(CRC)Transfer error occurred." \
  late@20:1300 crc@21
check "late reply: both faults were played" \
  report_has dev '"late@20:1300 on block 20 (hit 1)"' '"crc@21 on block 21 (hit 1)"'

TIMEOUTS=short
failed_update "block never answered" 5 "Time out error(2)" "(Write)Time Out Error." noreply@9x7
check "block never answered: sent seven times" at_least dev write_blocks 16
check "block never answered: the update went no further" report_has dev '"finish_updates":0'

TIMEOUTS=original
failed_update "not in update mode" 4 "Please use the firmware update mode." \
  "Please use the firmware update mode." not-update-mode
check "not in update mode: nothing erased or written" \
  report_has dev '"begin_updates":1' '"erase_ranges":0' '"write_blocks":0'

failed_update "illegal model" 4 "Illegal device connected." "Illegal device connected." model=0x33
check "illegal model: asked who it is, then left alone" \
  report_has dev '"identity_requests":1' '"begin_updates":0'

# The device's process dies in the middle of the transfer: its ports vanish with it, the
# updater hears nothing more and ends on its time-outs.
start_device dev
pid=$DEVICE_PID
: >TEST_LOG.txt
"$CLI" update --api jack --firmware "$FW" --allow-unsigned --timeouts short >out.txt 2>err.txt </dev/null &
cli=$!
wait_for 30 grep -q "Data transmit" out.txt
kill_device "$pid"
started=$(now)
if wait_for 20 ended "$cli"; then
  wait "$cli"
  STATUS=$?
  expect "device killed mid-transfer" 5 "Time out error(2)" "(Write)Time Out Error."
  echo "     (ended $(elapsed "$started") s after the kill)"
else
  fail "device killed mid-transfer: the updater still runs 20 s later"
  kill -KILL "$cli"
fi

# A device that comes back afterwards is updated as if nothing had happened.
whole_update "a later run after the device vanished" ""

# Another host writing to the device at the same time: its acknowledgement reaches this
# updater too, which stops there and says why instead of completing.
TIMEOUTS=original
failed_update "another host writing to the device" 5 "Another program is talking to the device." \
  "Another program is talking to the device." second-host@30
check "another host: the update went no further" report_has dev '"finish_updates":0'

# One device, one updater: a second updater on the device's ports is refused before it sends
# anything, naming the first by program and process; the first completes undisturbed.
second_refused() {
  [ "$STATUS" = 3 ] && grep -qF "in use by another update" err.txt &&
    grep -qF "held by fenupdator-cli (process $1)" err.txt
}
start_device dev --once && {
  pid=$DEVICE_PID
  : >TEST_LOG.txt
  start_transfer first
  first=$CLI_PID
  update
  check "a second updater on the device is refused at once, naming the first" second_refused "$first"
  transfer_alone dev "$pid"
}

# A program that names its port like the device's second unit: "USB Audio Device (2)" is
# then two ports, and neither the name nor the pre-selection may choose between them.
start_device dev && dev1=$DEVICE_PID
start_device dev2 --name "USB Audio Device" && dev2=$DEVICE_PID
start_device impostor --name "USB Audio Device (2)" && impostor=$DEVICE_PID
ambiguous_refused() {
  [ "$STATUS" = 3 ] && grep -qF 'port name "USB Audio Device (2)" is shared by 2 ports' err.txt
}
update --in "USB Audio Device (2)" --out "USB Audio Device (2)"
check "a name two ports answer to is refused, naming their indices" ambiguous_refused
update --instance 2
check "the pre-selection of such a name is refused too" ambiguous_refused
for p in $dev1 $dev2 $impostor; do stop_device "$p"; done
untouched() { report_has impostor '"total":0' && report_has dev2 '"total":0'; }
check "neither the device nor the impostor was sent anything" untouched

# identify over JACK: the device answers on its own ports and hears an Identity Request only.
identified() {
  timeout 60 "$CLI" identify --api jack --json >out.txt 2>err.txt </dev/null &&
    grep -qF '"in":"USB Audio Device","out_index":' out.txt && grep -qF '"model":"0x61"' out.txt
}
start_device dev --model 0x61 && {
  pid=$DEVICE_PID
  check "identify finds the device and its model over JACK" identified
  stop_device "$pid"
  check "identify sent the device nothing but an Identity Request" \
    report_has dev '"total":1,"identity_requests":1,'
}

finish
