# The kernel test's cases, run by /init inside the VM (busybox sh). USB MIDI gadgets made in
# configfs on the dummy controller are the devices: the host side sees each through
# snd-usb-audio, and fen-devsim plays the device on the gadget's own rawmidi device. Each case
# checks exit statuses, texts, TEST_LOG.txt and the device's report, and prints one line
# "PASS name" or "FAIL name: why".
#   vm_cases.sh [CASE...]   (all when none is named)

GADGETS=/sys/kernel/config/usb_gadget
NAME="TARN PL Series"
failures=0
work=/tmp/work
FW=$work/firmware
mkdir -p $FW && cd $work || exit 1
# The build's own images, given to both sides: the updater refuses placeholders otherwise.
fen-export-firmware $FW || echo "FAIL setup: cannot write the images to $FW"

pass() { echo "PASS $1"; }
# fail NAME WHY: the case's line, then what the programs said.
fail() {
  echo "FAIL $1: $2"
  failures=$((failures + 1))
  for f in out.txt err.txt dev.out; do
    [ -s $f ] && tail -5 $f | sed "s|^|     $f: |"
  done
  return 0
}

# wait_for SECONDS COMMAND...: polls every 50 ms.
wait_for() {
  tries=$(($1 * 20))
  shift
  while ! "$@"; do
    tries=$((tries - 1))
    [ $tries -gt 0 ] || return 1
    sleep 0.05
  done
}

# ---- Gadgets -------------------------------------------------------------------------------
# gadget_make N: gadget N (1 or 2) with one MIDI function whose gadget-side card has id gN.
gadget_make() {
  g=$GADGETS/g$1
  mkdir -p $g/strings/0x409 $g/configs/c.1 $g/functions/midi.usb0
  echo 0x1d6b >$g/idVendor
  echo 0x0104 >$g/idProduct
  echo "$NAME" >$g/strings/0x409/product
  echo "fen test" >$g/strings/0x409/manufacturer
  echo "0000$1" >$g/strings/0x409/serialnumber
  echo g$1 >$g/functions/midi.usb0/id
  [ -e $g/configs/c.1/midi.usb0 ] || ln -s $g/functions/midi.usb0 $g/configs/c.1/
}
host_cards() { grep -c "\]: USB-Audio - $NAME" /proc/asound/cards; }
cards_are() { [ "$(host_cards)" = "$1" ]; }
# gadget_plug N: binds gadget N to controller N-1 (the cable goes in) and waits until the
# host side has made its card.
gadget_plug() {
  before=$(host_cards)
  echo dummy_udc.$(($1 - 1)) >$GADGETS/g$1/UDC
  wait_for 20 cards_are $((before + 1))
}
# gadget_unplug N: the cable comes out; the host's card goes.
gadget_unplug() {
  before=$(host_cards)
  echo "" >$GADGETS/g$1/UDC
  wait_for 20 cards_are $((before - 1))
}
# gadget_device N: the gadget side's rawmidi device file.
gadget_device() {
  for c in /sys/class/sound/card*; do
    if [ "$(cat $c/id)" = "g$1" ]; then
      echo /dev/snd/midiC${c#/sys/class/sound/card}D0
      return 0
    fi
  done
  return 1
}

# ---- The programs ----------------------------------------------------------------------------
# device_start N TAG ARGS...: fen-devsim on gadget N at instant pace; output in TAG.out,
# report in TAG.json. Sets DEVICE_PID.
device_start() {
  n=$1 tag=$2
  shift 2
  rm -f $tag.json $tag.out
  fen-devsim --api rawmidi --device "$(gadget_device $n)" --pace instant --firmware $FW \
    --report $work/$tag.json "$@" >$tag.out 2>&1 </dev/null &
  DEVICE_PID=$!
  wait_for 10 grep -qs "ready as" $tag.out
}
running() { [ -e /proc/$1 ] && ! grep -qs '^State:[[:space:]]*Z' /proc/$1/status; }
ended() { ! running $1; }
# device_wait PID SECONDS: its exit status in DEVICE_STATUS (124: it had to be stopped).
device_wait() {
  if wait_for $2 ended $1; then
    wait $1
    DEVICE_STATUS=$?
  else
    kill $1 2>/dev/null
    wait $1
    DEVICE_STATUS=124
  fi
}
device_stop() {
  kill -TERM $1 2>/dev/null
  device_wait $1 10
}
# report_has TAG TEXT...: every TEXT is in the device's report.
report_has() {
  tag=$1
  shift
  [ -s $tag.json ] || return 1
  for t in "$@"; do
    grep -qF -- "$t" $tag.json || return 1
  done
}
# The diagnostic log's texts without their dates, joined by "|".
log_lines() { cut -c25- TEST_LOG.txt | paste -sd'|' -; }
now_ms() { echo $(($(cut -d' ' -f1 /proc/uptime | tr -d .) * 10)); }

# update API ARGS...: one run of the updater; status in STATUS, its time in RUN_MS.
update() {
  api=$1
  shift
  : >TEST_LOG.txt
  t0=$(now_ms)
  timeout 300 fenupdator-cli update --api $api --firmware $FW "$@" >out.txt 2>err.txt </dev/null
  STATUS=$?
  RUN_MS=$(($(now_ms) - t0))
}
# expect STATUS TEXT LOG: why the run is not as expected, or nothing.
expect() {
  if [ "$STATUS" != "$1" ]; then
    echo "exit status $STATUS, not $1"
  elif [ "$1" = 0 ] && ! grep -qx "$2" out.txt; then
    echo "no line \"$2\" in its output"
  elif [ "$1" != 0 ] && ! grep -qx "Error: $2" err.txt; then
    echo "no line \"Error: $2\" in its errors"
  elif [ "$(log_lines)" != "$3" ]; then
    echo "TEST_LOG.txt holds '$(log_lines)', not '$3'"
  fi
}

# whole_update NAME API LOG DEVICE-ARGS...: gadget 1's device updated to the end, ports
# pre-selected by name; the device ends by itself and must hold the images.
whole_update() {
  name=$1 api=$2 log=$3
  shift 3
  device_start 1 dev --once "$@" || {
    fail "$name" "fen-devsim did not come up"
    return 1
  }
  pid=$DEVICE_PID
  update $api
  why=$(expect 0 "Version update completed." "$log")
  device_wait $pid 20
  if [ -z "$why" ] && ! grep -q "^MIDI IN:  $NAME\$" out.txt; then
    why="MIDI IN was not pre-selected as $NAME"
  fi
  if [ -z "$why" ] && { [ "$DEVICE_STATUS" != 0 ] || ! report_has dev '"holds_images":true'; }; then
    why="the device exited $DEVICE_STATUS and its report says $(grep -o '"holds_images":[a-z]*' dev.json)"
  fi
  if [ -n "$why" ]; then
    fail "$name" "$why"
    return 1
  fi
  pass "$name ($RUN_MS ms)"
}

# ---- Cases -------------------------------------------------------------------------------------

case_seq() {
  whole_update "full update over the ALSA sequencer" alsa "" &&
    echo "TIME seq $RUN_MS"
  report_has dev '"rejected":0' '"malformed":0' '"crc_errors":0' ||
    fail "sequencer: every block arrived whole" "$(cat dev.json)"
}

case_rawmidi() {
  whole_update "full update over rawmidi" rawmidi "" &&
    echo "TIME rawmidi $RUN_MS"
  report_has dev '"rejected":0' '"malformed":0' '"crc_errors":0' ||
    fail "rawmidi: every block arrived whole" "$(cat dev.json)"
}

# The floor: the same round trips by a minimal program against a minimal echo.
case_floor() {
  dev=$(gadget_device 1 | sed 's|/dev/snd/midiC\([0-9]*\)D\([0-9]*\)|hw:\1,\2|')
  fen-rawmidi-floor echo $dev >floor-echo.out 2>&1 &
  echo_pid=$!
  if ! wait_for 10 grep -qs "echo ready" floor-echo.out; then
    fail "floor" "the echo did not start: $(cat floor-echo.out)"
    return
  fi
  card=$(grep "USB-Audio - $NAME" /proc/asound/cards | head -1 | awk '{print $1}')
  t0=$(now_ms)
  if timeout 120 fen-rawmidi-floor host hw:$card,0,0 >floor.out 2>&1; then
    floor_ms=$(($(now_ms) - t0))
    pass "floor: 1908 round trips over rawmidi ($floor_ms ms)"
    echo "TIME floor $floor_ms"
  else
    fail "floor" "$(cat floor.out)"
  fi
  device_wait $echo_pid 10
}

all_cases="floor rawmidi seq"
gadget_make 1
gadget_make 2
if ! gadget_plug 1; then
  echo "FAIL setup: the gadget did not enumerate as a USB-Audio card"
  cat /proc/asound/cards
  exit 1
fi
echo "INFO $(cat /proc/asound/cards | grep ']:' | tr -s ' ' | paste -sd';' -)"
for c in ${*:-$all_cases}; do
  case_$c
done
[ $failures = 0 ]
