#!/usr/bin/env bash
# The desktop program under Xvfb against fen-devsim on a real JACK server, driven by the
# keyboard as a user would: pre-selection, "Execute" to completion, a second copy numbered 2
# that updates the second of two devices, a device that vanishes mid-run, Rescan and again, a
# device the command line is updating.
#   gui_jack_test.sh BUILD_DIR [SCREENSHOT.png]
# Needs xvfb-run and xdotool; without them it is skipped.
E2E_XVFB_TOOLS="xvfb-run xdotool"
source "$(dirname "$0")/e2e_lib.sh"
SCREENSHOT=${2:-}
require_jack transfers
export_firmware

# The real X display, not the tests' offscreen one; no configuration and a runtime folder of
# its own, so that instance numbers start at 1 whatever else runs.
unset QT_QPA_PLATFORM
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
windows=()
# Under AddressSanitizer: D-Bus, which Qt talks to on X11, keeps an allocation to the end.
# Libraries only, never this project's code.
printf 'leak:libdbus-1.so\n' >"$work/lsan-suppressions.txt"
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$work/lsan-suppressions.txt"

# start_window: one more copy of the program; sets WINDOW_PID and WINDOW (its main window).
# A window that does not open is a failure.
start_window() {
  local log="window-$((${#windows[@]} + 1)).log"
  "$GUI" >"$log" 2>&1 </dev/null &
  WINDOW_PID=$!
  windows+=("$WINDOW_PID")
  devices+=("$WINDOW_PID")  # ended with the devices if the script stops early
  WINDOW=
  wait_for 20 main_window_shown "$WINDOW_PID" || {
    fail "copy ${#windows[@]}'s window did not open: $(cat "$log")"
    return 1
  }
}
# click WINDOW X Y: a click at a point given in the dialog's own units (239 x 161), which
# scale with the font like the dialog.
click() {
  local WIDTH=0 HEIGHT=0 X Y SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$1" 2>/dev/null)"
  [ "$WIDTH" -gt 0 ] || return 1
  # Without a window manager every copy opens at the same place: the one meant goes on top.
  xdotool windowraise "$1"
  xdotool mousemove --window "$1" $(($2 * WIDTH / 239)) $(($3 * HEIGHT / 161)) click 1
}
# rescan_and_run WINDOW: "Rescan Device", then Enter on "Execute" by way of the read-only
# status line (Enter there reaches the default button).
rescan_and_run() {
  click "$1" 188 73
  click "$1" 122 97
  key "$1" Return
}

# execute PID WINDOW: Enter on "Execute", and on the warning about placeholder images that
# the first run of each copy shows, Shift+Tab to its OK and Enter.
execute() {
  key "$2" Return
  if [ -n "${PLACEHOLDER_BUILD:-}" ] && [ -z "${warned[$1]:-}" ]; then
    if wait_for 10 box_shown "$1" "^$TITLE" "$2"; then
      key "$BOX" shift+Tab Return
      warned[$1]=1
    else
      fail "no warning about the placeholder images"
    fi
  fi
}
declare -A warned

# run_new_copy TITLE WHAT: one more copy of the program (or the script ends), its title checked
# as WHAT, and "Execute" run; its pid and window in WINDOW_PID and WINDOW.
run_new_copy() {
  start_window || finish
  check "$2" [ "$(xdotool getwindowname "$WINDOW")" = "$1" ]
  execute "$WINDOW_PID" "$WINDOW"
}
if "$CLI" --version | grep -q placeholder; then PLACEHOLDER_BUILD=1; fi

# ---- 1. Started with no configuration: the device pre-selected, Enter runs it to the end.
: >TEST_LOG.txt
start_device first --once || finish
first=$DEVICE_PID
run_new_copy "$TITLE" "the first copy's title carries no number"
gui1=$WINDOW_PID
window1=$WINDOW
started=$(now)
wait_device "$first" 60
echo "     (the update took $(elapsed "$started") s)"
check "Enter on Execute updated the pre-selected device (status $DEVICE_STATUS)" \
  report_has first '"holds_images":true'
sleep 0.5
if [ -n "$SCREENSHOT" ]; then
  check "screenshot of the completed run" "$GRAB" "$SCREENSHOT" "$window1"
fi
check "no error box" [ -z "$(xdotool search --onlyvisible --name '^Error$' 2>/dev/null)" ]

# ---- 2. Two devices of one name; a second copy is instance 2 and takes the second.
start_device one || finish
one=$DEVICE_PID
start_device two --once || finish
two=$DEVICE_PID
run_new_copy "$TITLE (2)" "the second copy's title ends in (2)"
wait_device "$two" 60
stop_device "$one"
check "instance 2 updated the second device" report_has two '"holds_images":true'
check "and left the first alone" report_has one '"total":0'

# ---- 3. The device vanishes in the middle of a run: the time-out's error box; the program
# stays usable, and after Rescan the next device is updated.
: >TEST_LOG.txt
start_device three || finish
three=$DEVICE_PID
rescan_and_run "$window1"
# Once the updater's ports are connected to the device, the run has begun.
wait_for 20 eval 'jack_lsp -c 2>/dev/null | grep -q "^   .*$TITLE"' ||
  fail "the updater did not connect to the device"
sleep 2
kill_device "$three"
killed=$(now)
if wait_for 45 box_shown "$gui1" "^Error$" ""; then
  ok "the vanished device ends in an error box ($(elapsed "$killed") s after)"
  key "$BOX" Return
else
  fail "no error box 45 s after the device vanished"
fi
check "the time-out is in the log ($(log_lines))" grep -q "Time Out Error." TEST_LOG.txt

start_device four --once || finish
four=$DEVICE_PID
rescan_and_run "$window1"
wait_device "$four" 60
check "after Rescan the next device is updated" report_has four '"holds_images":true'

# ---- 4. One device, one updater: while the command line updates a device, "Execute" on it in
# the window is refused with an error box and sends nothing; the command line completes.
# The window's run ends a moment after its device has (it listens for another host first), and
# holds the device until then; device five comes under the same name, so the same claim.
jack_claims() { grep -c "@fenupdator-claim:jack:$JACK_DEFAULT_SERVER:" /proc/net/unix; }
wait_for 10 eval '[ "$(jack_claims)" = 0 ]' ||
  fail "the window still holds a device 10 s after its run ended"
start_device five --once || finish
five=$DEVICE_PID
start_transfer cli
rescan_and_run "$window1"
if wait_for 20 box_shown "$gui1" "^Error$" ""; then
  ok "Execute on the device the command line is updating is refused in an error box"
  key "$BOX" Return
else
  fail "no error box for the device the command line holds"
fi
transfer_alone five "$five"

# ---- 5. Escape closes each window and ends its program.
for pid in "${windows[@]}"; do
  main_window_shown "$pid" && key "$WINDOW" Escape
  if wait_for 10 ended "$pid"; then
    wait "$pid"
    status=$?
    check "Escape ended copy $pid (status $status)" [ "$status" = 0 ]
  else
    fail "copy $pid still runs 10 s after Escape"
  fi
  forget_device "$pid"
done

finish
