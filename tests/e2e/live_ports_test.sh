#!/usr/bin/env bash
# Ports on a live JACK server: `list` sees devices come and go, two devices of one name are
# told apart as "USB Audio Device" and "USB Audio Device (2)", and instance 2 updates the
# second.
#   live_ports_test.sh BUILD_DIR
source "$(dirname "$0")/e2e_lib.sh"
require_jack
export_firmware

DEVICE="USB Audio Device"

# lists ARGS...: `list --json` into list.json.
lists() { "$CLI" list --api jack --json "$@" >list.json 2>list.err </dev/null; }
# listed NAME PRESELECTED: NAME is in both lists, pre-selected (true) or not (false).
listed() {
  local entry="\"name\":\"$1\",\"preselected\":$2"
  [ "$(grep -oF "$entry" list.json | wc -l)" = 2 ]
}
absent() { ! grep -qF "\"name\":\"$1\"" list.json; }
names() { grep -o '"name":"[^"]*"' list.json | cut -d'"' -f4 | paste -sd, -; }

lists
check "no device: nothing of its name is listed ($(names))" absent "$DEVICE"

start_device first || finish
first=$DEVICE_PID
lists
check "a device that appeared is listed and pre-selected ($(names))" listed "$DEVICE" true

start_device second || finish
second=$DEVICE_PID
check "JACK renamed the second client" grep -q "ready as \"$DEVICE-01\"" second.out
lists
check "two devices of one name: the first keeps the name ($(names))" listed "$DEVICE" true
check "two devices of one name: the second is numbered" listed "$DEVICE (2)" false
lists --instance 2
check "instance 2 pre-selects the second" listed "$DEVICE (2)" true
check "instance 2 leaves the first alone" listed "$DEVICE" false

if [ -n "${FEN_E2E_NO_TRANSFERS:-}" ]; then
  echo "skip update --instance 2: $FEN_E2E_NO_TRANSFERS"
  stop_device "$second"
  stop_device "$first"
else
  : >TEST_LOG.txt
  "$CLI" update --api jack --firmware "$FW" --allow-unsigned --instance 2 >out.txt 2>err.txt </dev/null
  status=$?
  check "update --instance 2 completes" [ "$status" = 0 ]
  check "update --instance 2 names the second device's ports" \
    grep -qx "MIDI IN:  $DEVICE (2)" out.txt
  stop_device "$second"
  stop_device "$first"
  check "the second device holds the images" report_has second '"holds_images":true'
  check "the first device was not touched" report_has first '"total":0'
fi

lists
check "devices that vanished are no longer listed ($(names))" absent "$DEVICE"

# A client whose name would drive the terminal and fake a pre-selected line.
hostile=$'Evil\e]0;pwned\a\n  * 9  fake'
if start_device hostile --name "$hostile"; then
  "$CLI" list --api jack >plain.txt 2>&1 </dev/null
  check "list shows a hostile name with its controls escaped" \
    grep -qF 'Evil\e]0;pwned\x07\n  * 9  fake' plain.txt
  check "list prints no control character of it" \
    [ "$(tr -d '\n' <plain.txt | tr -d '[:print:]' | wc -c)" = 0 ]
  check "list prints no fake line" [ "$(grep -c '^  \* 9  fake' plain.txt)" = 0 ]
  stop_device "$DEVICE_PID"
fi

finish
