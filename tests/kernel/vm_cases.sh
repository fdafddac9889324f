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
  for f in out.txt err.txt dev.out dev1.out dev2.out; do
    [ -s $f ] && tail -5 $f | sed "s|^|     $f: |"
  done
  return 0
}

# wait_for, running, ended: as in the end-to-end scripts.
. /fen/poll_lib.sh

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
log_lines() { tr -d '\r' <TEST_LOG.txt | cut -c25- | paste -sd'|' -; }
now_ms() { echo $(($(cut -d' ' -f1 /proc/uptime | tr -d .) * 10)); }

# update API ARGS...: one run of the updater; status in STATUS, its time in RUN_MS.
update() {
  api=$1
  shift
  : >TEST_LOG.txt
  t0=$(now_ms)
  timeout 300 fenupdator-cli update --api $api --firmware $FW --allow-unsigned "$@" >out.txt 2>err.txt </dev/null
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
# pre-selected by name; the device ends by itself and must hold the images. UPDATE_ARGS go to
# the updater.
UPDATE_ARGS=""
whole_update() {
  name=$1 api=$2 log=$3
  shift 3
  device_start 1 dev --once "$@" || {
    fail "$name" "fen-devsim did not come up"
    return 1
  }
  pid=$DEVICE_PID
  update $api $UPDATE_ARGS
  why=$(expect 0 "Version update completed." "$log")
  device_wait $pid 20
  if [ -z "$why" ] && { ! grep -q "^MIDI IN:  $NAME\$" out.txt ||
    ! grep -q "^MIDI OUT: $NAME\$" out.txt; }; then
    why="the ports were not pre-selected as $NAME"
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
    FLOORS="$FLOORS $floor_ms"
  else
    fail "floor" "$(cat floor.out)"
  fi
  device_wait $echo_pid 10
}

case_faults() {
  whole_update "CRC and flash errors recovered, a late reply before an error reply" rawmidi \
    "(CRC)Transfer error occurred.|(CRC)Transfer error occurred.|(CRC)Transfer error occurred.|(Flash Write)Transfer error occurred." \
    crc@5x2 late@20:1300 crc@21 flash@700 || return
  report_has dev '"faults_played_count":5' '"late@20:1300 on block 20 (hit 1)"' \
    '"crc@21 on block 21 (hit 1)"' ||
    fail "faults: all were played" "$(cat dev.json)"

  # Another host's acknowledgement on the shared sequencer port: the run stops, not completed.
  name="another host writing to the device over the sequencer"
  device_start 1 dev second-host@30 || {
    fail "$name" "fen-devsim did not come up"
    return
  }
  pid=$DEVICE_PID
  update alsa
  why=$(expect 5 "Another program is talking to the device." \
    "Another program is talking to the device.")
  device_stop $pid
  [ -z "$why" ] && ! report_has dev '"finish_updates":0' && why="the update went on to the end"
  if [ -n "$why" ]; then fail "$name" "$why"; else pass "$name"; fi
}

case_requests() {
  whole_update "the device's own requests answered during the transfer" rawmidi "" \
    --model 0x61 identity-request@4 vendor-request@5=0x05 vendor-request@6=0x01 \
    vendor-request@7=0x20 identity-request@900 || return
  report_has dev '"model_id":"0x61"' '"sent":5,"right":5,"wrong":0,"unanswered":0' ||
    fail "requests: answered right" "$(cat dev.json)"
}

# lists API: `list --json` into list.json; listed NAME: in both lists.
lists() { fenupdator-cli list --api $1 --json >list.json 2>list.err </dev/null; }
# One entry a line: busybox's grep -o finds one match a line at most.
entries() { tr '{' '\n' <list.json; }
listed() { [ "$(entries | grep -cF "\"name\":\"$1\",")" = 2 ]; }
names() { entries | grep -o '"name":"[^"]*"' | cut -d'"' -f4 | paste -sd, -; }

# unplug_ends_run NAME SECONDS OUTPUT [STATUS-FILE]: once the updater started in the background
# as $cli shows the transfer in OUTPUT, gadget 1's cable comes out; the run must end within
# SECONDS on the write time-out. Its exit status is its own, or the one in STATUS-FILE when it
# ran under a shell that wrote it there.
unplug_ends_run() {
  name=$1 seconds=$2
  wait_for 120 grep -qs "Data transmit" $3
  gadget_unplug 1 || fail "$name" "the host's card did not go"
  if wait_for $seconds ended $cli; then
    wait $cli
    STATUS=$?
    [ -z "${4:-}" ] || STATUS=$(cat $4)
    why=$(expect 5 "Time out error(2)" "(Write)Time Out Error.")
    if [ -n "$why" ]; then fail "$name" "$why"; else pass "$name"; fi
  else
    fail "$name" "the updater still runs $seconds s after the unplug"
    kill -9 $cli
  fi
}

# The cable comes out in the middle of the transfer: the run ends on its time-outs, and once
# the cable is back the device is listed and updated again.
case_unplug() {
  name="USB device unplugged mid-transfer"
  device_start 1 dev || {
    fail "$name" "fen-devsim did not come up"
    return
  }
  pid=$DEVICE_PID
  : >TEST_LOG.txt
  fenupdator-cli update --api rawmidi --firmware $FW --allow-unsigned --timeouts short >out.txt 2>err.txt </dev/null &
  cli=$!
  unplug_ends_run "$name" 30 out.txt
  device_stop $pid
  lists rawmidi
  ! listed "$NAME" || fail "$name: unplugged, not listed" "$(names)"
  gadget_plug 1 || fail "$name: plugged in again" "no card"
  for api in rawmidi alsa; do
    lists $api
    if listed "$NAME"; then pass "plugged in again: listed over $api"; else
      fail "plugged in again: listed over $api" "$(names)"; fi
  done
  whole_update "plugged in again: a second run succeeds" rawmidi ""
}

# A device plugged in while the program runs: listed then, over both systems.
case_plugged_later() {
  for api in rawmidi alsa; do
    lists $api
    ! listed "$NAME (2)" || fail "second device not yet plugged: not listed over $api" "$(names)"
  done
  gadget_plug 2 || {
    fail "a device plugged in later" "gadget 2 did not enumerate"
    return
  }
  for api in rawmidi alsa; do
    lists $api
    if listed "$NAME" && listed "$NAME (2)" &&
      entries | grep -qF "\"name\":\"$NAME\",\"preselected\":true"; then
      pass "a device plugged in later is listed over $api as \"$NAME (2)\""
    else
      fail "a device plugged in later is listed over $api" "$(names)"
    fi
  done
}

# Two devices of one name: --instance 2 picks the second, --all updates both.
case_two_devices() {
  [ "$(host_cards)" = 2 ] || gadget_plug 2 || {
    fail "two devices" "gadget 2 did not enumerate"
    return
  }
  name="--instance 2 updates the second device"
  device_start 1 dev1 || fail "$name" "device 1 did not come up"
  pid1=$DEVICE_PID
  device_start 2 dev2 --once || fail "$name" "device 2 did not come up"
  pid2=$DEVICE_PID
  update rawmidi --instance 2
  why=$(expect 0 "Version update completed." "")
  device_wait $pid2 20
  device_stop $pid1
  [ -z "$why" ] && { ! grep -q "^MIDI IN:  $NAME (2)\$" out.txt ||
    ! grep -q "^MIDI OUT: $NAME (2)\$" out.txt; } && why="the ports pre-selected were not $NAME (2)"
  [ -z "$why" ] && { [ "$DEVICE_STATUS" != 0 ] || ! report_has dev2 '"holds_images":true'; } &&
    why="device 2 exited $DEVICE_STATUS, flash: $(grep -o '"holds_images":[a-z]*' dev2.json)"
  [ -z "$why" ] && ! report_has dev1 '"received":{"total":0,' && why="device 1 was sent messages"
  if [ -n "$why" ]; then fail "$name" "$why"; else pass "$name ($RUN_MS ms)"; fi

  name="update --all updates both devices"
  device_start 1 dev1 --once || fail "$name" "device 1 did not come up"
  pid1=$DEVICE_PID
  device_start 2 dev2 --once || fail "$name" "device 2 did not come up"
  pid2=$DEVICE_PID
  update rawmidi --all
  device_wait $pid1 20
  status1=$DEVICE_STATUS
  device_wait $pid2 20
  why=""
  [ "$STATUS" = 0 ] || why="exit status $STATUS"
  [ -z "$why" ] && ! grep -q "$NAME (2)" out.txt && why="the second device was not among the targets"
  [ -z "$why" ] && [ -s TEST_LOG.txt ] && why="TEST_LOG.txt holds $(log_lines)"
  [ -z "$why" ] && { [ $status1 != 0 ] || [ $DEVICE_STATUS != 0 ] ||
    ! report_has dev1 '"holds_images":true' || ! report_has dev2 '"holds_images":true'; } &&
    why="devices exited $status1 and $DEVICE_STATUS; flash $(grep -ho '"holds_images":[a-z]*' dev1.json dev2.json | paste -sd' ' -)"
  if [ -n "$why" ]; then fail "$name" "$why"; else pass "$name ($RUN_MS ms)"; fi
}

# Another program has the host's rawmidi port open: the updater names the port, sends nothing.
case_busy() {
  name="rawmidi port already open by another program"
  card=$(grep "USB-Audio - $NAME" /proc/asound/cards | head -1 | awk '{print $1}')
  device_start 1 dev || {
    fail "$name" "fen-devsim did not come up"
    return
  }
  pid=$DEVICE_PID
  sleep 600 <>/dev/snd/midiC${card}D0 &
  holder=$!
  sleep 0.2
  update rawmidi
  kill $holder
  wait $holder 2>/dev/null
  device_stop $pid
  why=$(expect 3 "Can't open MIDI Out device." "Midi out error.")
  if [ -z "$why" ] &&
    ! grep -qF "cannot open MIDI OUT port \"$NAME\": hw:$card,0,0 is in use by another program" err.txt; then
    why="no error naming the port: $(cat err.txt)"
  fi
  [ -z "$why" ] && ! report_has dev '"received":{"total":0,' && why="the device was sent messages"
  if [ -n "$why" ]; then fail "$name" "$why"; else pass "$name"; fi
}

# One device, one updater: while one updater writes the device over the sequencer, a second
# one is refused at once, over the sequencer and over rawmidi alike (the card is the device),
# naming the first; it sends nothing, and the first completes.
case_claim() {
  name="a second updater on the device is refused on every MIDI system"
  device_start 1 dev --once || {
    fail "$name" "fen-devsim did not come up"
    return
  }
  pid=$DEVICE_PID
  : >TEST_LOG.txt
  timeout 300 fenupdator-cli update --api alsa --firmware $FW --allow-unsigned >first.out \
    2>first.err </dev/null &
  first=$!
  wait_for 60 grep -qs "Data transmit" first.out
  why=""
  for api in alsa rawmidi; do
    timeout 60 fenupdator-cli update --api $api --firmware $FW --allow-unsigned >out.txt \
      2>err.txt </dev/null
    STATUS=$?
    [ -z "$why" ] && [ $STATUS != 3 ] && why="over $api: exit status $STATUS, not 3"
    [ -z "$why" ] && ! grep -qF "held by fenupdator-cli (process $first)" err.txt &&
      why="over $api: the holder was not named"
  done
  wait $first
  first_status=$?
  device_wait $pid 30
  [ -z "$why" ] && [ $first_status != 0 ] && why="the first updater exited $first_status"
  [ -z "$why" ] && ! report_has dev '"identity_requests":1' '"begin_updates":1' \
    '"holds_images":true' && why="the device saw more than one update: $(cat dev.json)"
  if [ -n "$why" ]; then fail "$name" "$why"; else pass "$name"; fi
}

# The update's times beside the floor's: measured before and after them, so that a neighbour
# that slowed the machine for a while weighs on both sides alike.
case_ratios() {
  case_floor
  case_rawmidi
  rawmidi_ms=$RUN_MS
  case_seq
  seq_ms=$RUN_MS
  case_floor
  set -- $FLOORS
  [ $# = 2 ] || return
  floor_ms=$((($1 + $2) / 2))
  echo "FLOOR floor ${floor_ms} ms (mean of $1 and $2); rawmidi $rawmidi_ms ms = $(ratio $rawmidi_ms $floor_ms)x; sequencer $seq_ms ms = $(ratio $seq_ms $floor_ms)x"
}
ratio() { echo "$1 $2" | awk '{ printf "%.2f", $1 / $2 }'; }
FLOORS=""

# ---- The Windows build under Wine ----------------------------------------------------------------
# Wine runs from the host's /usr and /etc (9p, read-only) with a prefix made on the host, under
# an overlay whose upper layer takes Wine's writes. Its WinMM reaches the gadget through
# winealsa.drv and the ALSA sequencer, and names each port by the port's name alone.
WNAME="$NAME MIDI 1"
wine_setup() {
  [ -n "$WINE_READY" ] && return 0
  mkdir -p /usr /etc /mnt/prefix /mnt/upper
  opts=trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144
  mount -t 9p -o $opts hostusr /usr && mount -t 9p -o $opts hostetc /etc &&
    mount -t 9p -o $opts hostwineprefix /mnt/prefix || return 1
  # The host's libraries where its programs look for them; the modules are loaded already.
  mv /lib /lib.initramfs && ln -s usr/lib /lib || return 1
  if [ -e /lib64 ]; then mv /lib64 /lib64.initramfs; fi
  ln -s usr/lib64 /lib64
  mount -t tmpfs upper /mnt/upper && mkdir -p /mnt/upper/u /mnt/upper/w /tmp/prefix /tmp/home &&
    mount -t overlay overlay -o lowerdir=/mnt/prefix,upperdir=/mnt/upper/u,workdir=/mnt/upper/w \
      /tmp/prefix || return 1
  export PATH=/fen:/bin:/usr/bin WINEPREFIX=/tmp/prefix HOME=/tmp/home WINEDEBUG=-all
  unset WINEDLLOVERRIDES  # winealsa.drv is the MIDI driver here
  # Wine ends the process with SIGSEGV now and then after the program has finished (in its
  # MIDI notify thread, after winmm has detached): cmd reports the status the program set.
  printf '@%%*\r\n@exit %%errorlevel%%\r\n' >$work/run.bat
  cp /fen/fenupdator-cli.exe $work/
  t0=$(now_ms)
  wineserver -p
  wine cmd /c exit </dev/null >/dev/null 2>&1
  echo "INFO Wine ready in $(($(now_ms) - t0)) ms"
  WINE_READY=1
}
WINE_READY=""
WINE_DIRECT=""
# wine_cli ARGS...: the Windows updater; status in STATUS, time in RUN_MS, output without CRs.
# With WINE_DIRECT set the program runs without cmd, and its status is Wine's.
wine_cli() {
  t0=$(now_ms)
  if [ -n "$WINE_DIRECT" ]; then
    timeout 300 wine fenupdator-cli.exe "$@" >out.raw 2>err.raw </dev/null
  else
    timeout 300 wine cmd /c run.bat fenupdator-cli.exe "$@" >out.raw 2>err.raw </dev/null
  fi
  STATUS=$?
  RUN_MS=$(($(now_ms) - t0))
  tr -d '\r' <out.raw >out.txt
  tr -d '\r' <err.raw >err.txt
}
# With WINE_BY_ANSWER set no port is named: the updater finds the device by its answer.
wine_update() {
  : >TEST_LOG.txt
  if [ -n "${WINE_BY_ANSWER:-}" ]; then
    wine_cli update --firmware firmware --allow-unsigned "$@"
  else
    wine_cli update --in "$WNAME" --out "$WNAME" --firmware firmware --allow-unsigned "$@"
  fi
}

# wine_run NAME STATUS TEXT LOG DEVICE-ARGS...: one update over WinMM against gadget 1's
# device; exit status, texts, log and the device's report as in the Linux cases.
wine_run() {
  name=$1 want=$2 text=$3 log=$4
  shift 4
  device_start 1 dev --once "$@" || {
    fail "$name" "fen-devsim did not come up"
    return 1
  }
  pid=$DEVICE_PID
  wine_update
  why=$(expect $want "$text" "$log")
  if [ "$want" = 0 ]; then
    device_wait $pid 20
    [ -z "$why" ] && { [ "$DEVICE_STATUS" != 0 ] || ! report_has dev '"holds_images":true'; } &&
      why="the device exited $DEVICE_STATUS and its report says $(grep -o '"holds_images":[a-z]*' dev.json)"
  else
    device_stop $pid
    [ -z "$why" ] && ! report_has dev '"holds_images":false' &&
      why="the device's flash holds the images after a failed run"
  fi
  if [ -n "$why" ]; then
    fail "$name" "$why"
    return 1
  fi
  pass "$name ($RUN_MS ms)"
}

case_wine_list() {
  wine_setup || {
    fail "Wine" "cannot set up Wine in the VM"
    return
  }
  wine_cli list --json
  cp out.txt list.json
  if [ "$STATUS" = 0 ] && [ "$(entries | grep -cF "\"name\":\"$WNAME\",")" = 2 ]; then
    pass "WinMM under Wine lists the gadget as \"$WNAME\" ($RUN_MS ms)"
  else
    fail "WinMM under Wine lists the gadget" "status $STATUS: $(cat out.txt err.txt)"
  fi
}

case_wine() {
  case_wine_list
  [ -n "$WINE_READY" ] || return
  wine_run "WinMM: a whole update with the ports as Wine names them" 0 \
    "Version update completed." "" && echo "TIME winmm $RUN_MS"
  report_has dev '"rejected":0' '"malformed":0' '"crc_errors":0' ||
    fail "WinMM: every block arrived whole" "$(cat dev.json)"
  wine_run "WinMM: CRC and flash errors recovered" 0 "Version update completed." \
    "(CRC)Transfer error occurred.|(CRC)Transfer error occurred.|(Flash Write)Transfer error occurred." \
    crc@5x2 flash@700
  crc7="(CRC)Transfer error occurred."
  wine_run "WinMM: a block that keeps failing ends the run" 5 "Transfer error occurred." \
    "$crc7|$crc7|$crc7|$crc7|$crc7|$crc7|$crc7" crc@30x7
  # Wine names the ports after the ALSA port, as Windows MIDI Services may name them after the
  # device's own strings: no port bears the device's name, and its answer finds it.
  WINE_BY_ANSWER=1
  wine_run "WinMM: no ports given, the device found by its answer" 0 \
    "Version update completed." "" &&
    ! grep -qF "found by the device's answer" out.txt &&
    fail "WinMM: found by its answer" "the output does not say so: $(head -5 out.txt)"
  WINE_BY_ANSWER=
  # The device's own Identity Requests mid-transfer are answered from the reply path, which
  # on Windows runs on the driver's thread, never inside WinMM's callback: no stall.
  wine_run "WinMM: the device's Identity Requests during the transfer answered" 0 \
    "Version update completed." "" identity-request@4 identity-request@900 &&
    ! report_has dev '"sent":2,"right":2,"wrong":0,"unanswered":0' &&
    fail "WinMM: requests answered right" "$(cat dev.json)"
  case_wine_unplug
}

# The cable comes out in the middle of the transfer: the run ends on its time-outs.
case_wine_unplug() {
  name="WinMM: USB device unplugged mid-transfer"
  wine_setup || return
  device_start 1 dev || {
    fail "$name" "fen-devsim did not come up"
    return
  }
  pid=$DEVICE_PID
  : >TEST_LOG.txt
  rm -f out.raw status.txt  # the last run's output must not look like this one's progress
  (wine_cli update --in "$WNAME" --out "$WNAME" --firmware firmware --allow-unsigned --timeouts short
    echo $STATUS >status.txt) &
  cli=$!
  unplug_ends_run "$name" 60 out.raw status.txt
  device_stop $pid
  gadget_plug 1 || fail "$name: plugged in again" "no card"
}

# Each path's whole update beside the floor, measured between them: rawmidi, the sequencer,
# WinMM under Wine.
case_wine_ratios() {
  wine_setup || return
  case_floor
  case_rawmidi
  rawmidi_ms=$RUN_MS
  case_floor
  case_seq
  seq_ms=$RUN_MS
  case_floor
  # What a start of the program under Wine costs by itself, to be told apart from the update.
  wine_cli --version
  start_ms=$RUN_MS
  wine_run "WinMM: a whole update" 0 "Version update completed." ""
  winmm_ms=$RUN_MS
  case_floor
  # Without cmd: whether Wine's status is still the program's once every MIDI handle has
  # been closed before the exit.
  WINE_DIRECT=1
  wine_cli list
  echo "INFO run directly under Wine, list ended with status $STATUS"
  WINE_DIRECT=""
  set -- $FLOORS
  min=$1 max=$1 sum=0
  for f in "$@"; do
    [ $f -lt $min ] && min=$f
    [ $f -gt $max ] && max=$f
    sum=$((sum + f))
  done
  mean=$((sum / $#))
  spread="floor $mean ms mean of $# ($min to $max, $(ratio $min $mean)x to $(ratio $max $mean)x)"
  echo "FLOOR $spread; rawmidi $rawmidi_ms ms = $(ratio $rawmidi_ms $mean)x; sequencer $seq_ms ms = $(ratio $seq_ms $mean)x; WinMM under Wine $winmm_ms ms = $(ratio $winmm_ms $mean)x, less the $start_ms ms a start of the program under Wine takes $(ratio $((winmm_ms - start_ms)) $mean)x"
}

all_cases="ratios faults requests busy claim unplug plugged_later two_devices"
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
