#!/usr/bin/env bash
# The README's "Trying it without hardware" steps, run as they are written: the programs they
# name are what the main job builds, the JACK line starts a server, the simulated device and
# the desktop program (under Xvfb, driven by the keyboard) update each other, and the firmware
# export, fen-devsim and fenupdator-cli lines of the list below work in that order.
#   readme_steps_test.sh BUILD_DIR SOURCE_DIR
# Needs jackd, xvfb-run and xdotool; without them it is skipped.
E2E_XVFB_TOOLS="jackd xvfb-run xdotool"
source "$(dirname "$0")/e2e_lib.sh"
SOURCE=$(realpath "${2:?usage: $0 BUILD_DIR SOURCE_DIR}")
README=$SOURCE/README.md

# The README's own server line starts a server of this test's own name.
export JACK_DEFAULT_SERVER=fen-readme-$$
unset QT_QPA_PLATFORM
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
jack_pid=
stop_jack() { [ -z "$jack_pid" ] || kill "$jack_pid" 2>/dev/null; }
trap 'stop_jack; e2e_cleanup' EXIT

# As the README writes a command, with the build and /tmp/fw of this run.
as_run() { sed -E -e "s#(^| )build/#\1$BIN_DIR/#g" -e "s#/tmp/fw#$work/fw#g" <<<"$1"; }

# The first shell block of the section, comments dropped.
section=$(awk '/^## Trying it without hardware/ {on = 1} on && /^## / && !/Trying/ {exit} on' "$README")
mapfile -t block < <(awk '/^```sh/ {on = 1; next} on && /^```/ {exit} on' <<<"$section" |
  sed 's/[[:space:]]\+#.*$//')
check "the section's first block has the server, device and desktop program lines" \
  [ "${#block[@]}" = 3 ]
# The firmware bullet's commands: the code spans of its joined lines that start with build/.
mapfile -t bullet < <(awk '/^- The command-line updater refuses/ {on = 1} on && /^- / && !/refuses/ {exit} on' \
  <<<"$section" | tr '\n' ' ' | sed 's/  */ /g' | grep -o '`build/[^`]*`' | tr -d '`')
check "the firmware bullet names export, device and updater" [ "${#bullet[@]}" = 3 ]

# Every program the section runs from build/ is one the main job builds.
targets=$(sed -n 's/.*--target \(.*\) -j.*/\1/p' "$SOURCE/scripts/main-job.sh" | head -1)
for line in "${block[@]}" "${bullet[@]}"; do
  program=$(grep -o 'build/[^ ]*' <<<"$line" | head -1)
  [ -n "$program" ] || continue
  check "the main job builds $(basename "$program")" \
    grep -qx -- "$(basename "$program")" < <(tr ' ' '\n' <<<"$targets")
done

# The server, as the README starts it (it ends in &).
eval "$(as_run "${block[0]}")"
jack_pid=$!
check "the README's jackd line starts a server" wait_for 20 jack_lsp
# The device, in the background as a second terminal would run it.
$(as_run "${block[1]}") >device.out 2>&1 </dev/null &
device_pid=$!
devices+=("$device_pid")
check "the README's fen-devsim line plays the device" wait_for 20 grep -qs "ready as" device.out

# The desktop program: Enter runs "Execute"; a demo build asks once, answered with OK.
$(as_run "${block[2]}") >window.log 2>&1 </dev/null &
window_pid=$!
devices+=("$window_pid")
check "the README's fenupdator line opens the window" wait_for 20 main_window_shown "$window_pid"
key "$WINDOW" Return
if "$CLI" --version | grep -q placeholder; then
  if wait_for 10 box_shown "$window_pid" "^$TITLE" "$WINDOW"; then
    key "$BOX" shift+Tab Return
  fi
fi
device_done() { ! kill -0 "$device_pid" 2>/dev/null; }
check "Execute updates the device, which ends by itself" wait_for 120 device_done
wait "$device_pid"
check "fen-devsim --once says its flash holds the images" [ $? = 0 ]
kill "$window_pid" 2>/dev/null
wait "$window_pid" 2>/dev/null

# The firmware bullet: export, the device with the folder, the updater with the folder.
$(as_run "${bullet[0]}") >export.out 2>&1
check "the README's fen-export-firmware line writes the images (folder made)" [ -s "$work/fw/137.bin" ]
$(as_run "${bullet[1]}") >device2.out 2>&1 </dev/null &
device_pid=$!
devices+=("$device_pid")
check "the README's second fen-devsim line plays the device" wait_for 20 grep -qs "ready as" device2.out
$(as_run "${bullet[2]}") >update.out 2>&1 </dev/null
check "the README's fenupdator-cli line completes" grep -qx "Version update completed." update.out
wait "$device_pid"
check "and the device's flash holds the images" [ $? = 0 ]
finish
