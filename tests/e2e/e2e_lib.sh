# Shared by the end-to-end scripts (sourced): a work folder, the simulated device program as a
# background process on the JACK server named by JACK_DEFAULT_SERVER, and checks that count.
#   BIN_DIR  the build folder; the programs are looked up under it
#   FW       a folder with the build's own images, given to both sides

#   E2E_XVFB_TOOLS  set before sourcing by a script that drives a window: the programs it needs
#                   (xvfb-run among them); the script then runs again under a virtual X server
#                   of its own, or is skipped when one of them is missing.

set -u
E2E_SKIP=77  # CTest's SKIP_RETURN_CODE
# wait_for SECONDS COMMAND..., running PID, ended PID.
source "$(dirname "${BASH_SOURCE[0]}")/poll_lib.sh"

if [ -n "${E2E_XVFB_TOOLS:-}" ] && [ -z "${FEN_E2E_IN_XVFB:-}" ]; then
  for tool in $E2E_XVFB_TOOLS; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "$tool not installed: skipped (scripts/install-deps.sh installs it)"
      exit $E2E_SKIP
    fi
  done
  export FEN_E2E_IN_XVFB=1
  exec xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96 -nolisten tcp" bash "$0" "$@"
fi

BIN_DIR=$(realpath "${1:?usage: $0 BUILD_DIR}")
DEVSIM=$BIN_DIR/tools/devsim/fen-devsim
CLI=$BIN_DIR/tools/cli/fenupdator-cli
GUI=$BIN_DIR/src/app/fenupdator
EXPORT_FIRMWARE=$BIN_DIR/tests/e2e/fen-export-firmware
GRAB=$BIN_DIR/tests/e2e/fen-grab-window

failures=0
devices=()  # pids of the simulated devices still running

work=$(mktemp -d "${TMPDIR:-/tmp}/fen-e2e.XXXXXX")
e2e_cleanup() {
  local pid
  for pid in "${devices[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  if [ -n "${e2e_report:-}" ]; then
    exec 1>&3 2>&4
    # What failed first: a log that shows only a failed test's first lines still says it.
    grep "^FAIL" "$e2e_report" && echo "---- the whole report:"
    cat "$e2e_report"
  fi
  if [ -n "${E2E_KEEP:-}" ]; then
    echo "work folder kept: $work"
  else
    rm -rf "$work"
  fi
}
trap e2e_cleanup EXIT
cd "$work" || exit 1
# Not on a terminal (under ctest), the report is kept and printed when the script ends.
if [ ! -t 1 ]; then
  e2e_report=$work/report.txt
  exec 3>&1 4>&2 >"$e2e_report" 2>&1
fi
FW=$work/firmware
mkdir -p "$FW"

ok() { echo "ok   $*"; }
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}
# check DESCRIPTION COMMAND...: one line of the report, and a count of what failed.
check() {
  local what=$1
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures failed"
    exit 1
  fi
  echo "all passed"
  exit 0
}

# A server is needed where jackd is installed: the fixture started one; not reaching it fails.
# `require_jack transfers`: the script needs messages to arrive as sent, which a build can
# rule out by naming the reason in FEN_E2E_NO_TRANSFERS.
require_jack() {
  if ! command -v jackd >/dev/null 2>&1; then
    echo "jackd not installed: skipped"
    exit $E2E_SKIP
  fi
  if [ "${1:-}" = transfers ] && [ -n "${FEN_E2E_NO_TRANSFERS:-}" ]; then
    echo "skipped: $FEN_E2E_NO_TRANSFERS"
    exit $E2E_SKIP
  fi
  if ! jack_lsp </dev/null >/dev/null 2>&1; then
    echo "FAIL the JACK server ${JACK_DEFAULT_SERVER:-} does not answer"
    exit 1
  fi
}

# start_transfer TAG ARGS...: fenupdator-cli updating the pre-selected device over JACK in the
# background, its output in TAG.out and TAG.err; returns once blocks are being sent. Sets
# CLI_PID.
start_transfer() {
  local tag=$1
  shift
  "$CLI" update --api jack --firmware "$FW" --allow-unsigned "$@" >"$tag.out" 2>"$tag.err" \
    </dev/null &
  CLI_PID=$!
  wait_for 30 grep -q "Data transmit" "$tag.out" ||
    fail "$tag: the command line's transfer did not start: $(tail -3 "$tag.err")"
}

# transfer_alone TAG PID: the transfer start_transfer began ends completed, and the device TAG
# (its process PID, started with --once) saw that update alone and holds the images.
transfer_alone() {
  wait "$CLI_PID"
  local status=$?
  check "the update that holds the device completes (status $status)" [ "$status" = 0 ]
  wait_device "$2" 60
  check "the device saw one identification and one update, and holds the images" \
    report_has "$1" '"identity_requests":1' '"begin_updates":1' '"holds_images":true'
}

export_firmware() {
  "$EXPORT_FIRMWARE" "$FW" || {
    echo "FAIL cannot write the images to $FW"
    exit 1
  }
}


# start_device TAG ARGS...: fen-devsim at instant pace with the build's images, its output in
# TAG.out and its report in TAG.json; waits until it is on the server. Sets DEVICE_PID.
start_device() {
  local tag=$1
  shift
  rm -f "$tag.json" "$tag.out"
  "$DEVSIM" --api jack --pace instant --firmware "$FW" --report "$work/$tag.json" "$@" \
    >"$tag.out" 2>&1 </dev/null &
  DEVICE_PID=$!
  devices+=("$DEVICE_PID")
  if ! wait_for 20 grep -qs "ready as" "$tag.out"; then
    fail "$tag: fen-devsim did not come up: $(cat "$tag.out")"
    return 1
  fi
}

forget_device() {
  local pid=$1 kept=() p
  for p in "${devices[@]}"; do
    [ "$p" = "$pid" ] || kept+=("$p")
  done
  devices=("${kept[@]}")
}


# wait_device PID SECONDS: waits for a device that ends by itself (--once); its exit status in
# DEVICE_STATUS, 124 when it had to be stopped.
wait_device() {
  local pid=$1
  if wait_for "$2" ended "$pid"; then
    wait "$pid"
    DEVICE_STATUS=$?
  else
    kill "$pid" 2>/dev/null
    wait "$pid"
    DEVICE_STATUS=124
  fi
  forget_device "$pid"
}

# stop_device PID: ends a device as a user would (its report is written on the way out).
stop_device() {
  kill -TERM "$1" 2>/dev/null
  wait_device "$1" 10
}

# kill_device PID: the device's process dies at once, its ports with it.
kill_device() {
  kill -KILL "$1" 2>/dev/null
  wait "$1" 2>/dev/null
  forget_device "$1"
}

# report_has TAG TEXT...: every TEXT appears in the device's JSON report.
report_has() {
  local tag=$1 text
  shift
  [ -s "$tag.json" ] || return 1
  for text in "$@"; do
    grep -qF -- "$text" "$tag.json" || {
      echo "     $tag.json lacks $text"
      return 1
    }
  done
}

# report_number TAG KEY: a number from the device's JSON report ("write_blocks", ...).
report_number() { grep -o "\"$2\":[0-9]*" "$1.json" 2>/dev/null | head -1 | cut -d: -f2; }
# at_least TAG KEY N: that number is N or more. A loaded machine may delay a reply past the
# short time-outs, and the block then goes again: counts of arrivals are lower bounds.
at_least() {
  local n
  n=$(report_number "$1" "$2")
  [ -n "$n" ] && [ "$n" -ge "$3" ] || {
    echo "     $1.json: $2 is ${n:-missing}, not $3 or more"
    return 1
  }
}

# The diagnostic log's texts without their dates, joined by "|".
log_lines() { cut -c25- TEST_LOG.txt | paste -sd'|' -; }

# A run's output is in out.txt and err.txt, shown in part when a check fails.
show_output() {
  tail -5 out.txt | sed 's/^/     out: /'
  tail -5 err.txt | sed 's/^/     err: /'
}

# expect_outcome NAME STATUS WANT-STATUS TEXT LOG: a run of the updater ended with WANT-STATUS,
# TEXT as a line of its output (as "Error: TEXT" on stderr after a failure) and LOG as the
# diagnostic log's lines.
expect_outcome() {
  local name=$1 status=$2 want_status=$3 want_text=$4 want_log=$5 good=1
  [ "$status" = "$want_status" ] || good=0
  if [ "$want_status" = 0 ]; then
    grep -qx "$want_text" out.txt || good=0
  else
    grep -qx "Error: $want_text" err.txt || good=0
  fi
  [ "$(log_lines)" = "$want_log" ] || good=0
  if [ $good = 1 ]; then
    ok "$name"
  else
    fail "$name: status $status (want $want_status), log '$(log_lines)' (want '$want_log')"
    show_output
  fi
}

# status_and_line NAME STATUS WANT-STATUS GREP-OPTION PATTERN: a run ended with WANT-STATUS and
# a line of its standard output matches.
status_and_line() {
  local name=$1 status=$2 want_status=$3
  if [ "$status" = "$want_status" ] && grep -q "$4" -- "$5" out.txt; then
    ok "$name"
  else
    fail "$name: status $status (want $want_status)"
    show_output
  fi
}

# ---- The desktop program's windows, under Xvfb (xdotool).
TITLE="TARN PL-33QV v2.00 Updater"

# window_shown PID NAME [NOT]: a visible window of process PID whose name matches NAME (a
# pattern), other than the window NOT, is up; the first such in SHOWN.
window_shown() {
  SHOWN=$(xdotool search --all --onlyvisible --pid "$1" --name "$2" 2>/dev/null |
    grep -vx "${3:-}" | head -1)
  [ -n "$SHOWN" ]
}
# main_window_shown PID: the copy's main window is up; it is in WINDOW.
main_window_shown() { window_shown "$1" "^$TITLE" && WINDOW=$SHOWN; }
# box_shown PID NAME [NOT]: a message box of that copy (a window as in window_shown) is up; it
# is in BOX.
box_shown() { window_shown "$@" && BOX=$SHOWN; }
# key WINDOW KEY...: the keys typed into that window.
key() {
  xdotool windowfocus --sync "$1" 2>/dev/null
  shift
  xdotool key --delay 50 "$@"
}

# Seconds since the epoch with fractions, for durations.
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
