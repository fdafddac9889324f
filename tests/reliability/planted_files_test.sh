#!/usr/bin/env bash
# Every file the programs write on a path they were given, against what another user of a shared
# folder (mode 1777) can plant under its name: a link to a file, a dangling link, a FIFO with a
# reader, and, for an append, a file of another user's. Each writer refuses each, names the path
# and the reason before the run starts, and leaves the target as it was. As root and, where
# permissions count, again as an unprivileged user.
# Usage: planted_files_test.sh PATH-TO-fenupdator-cli PATH-TO-fen-devsim PATH-TO-fen-export-firmware
set -u
CLI=$(readlink -f "$1")
DEVSIM=$(readlink -f "$2")
EXPORT=$(readlink -f "$3")
WORK=$(mktemp -d)
chmod 755 "$WORK"
trap 'rm -rf "$WORK"' EXIT
failures=0
pass() { echo "ok   $1"; }
fail() { echo "FAIL $1"; sed 's/^/     /' "$WORK/err.txt" 2>/dev/null | tail -4; failures=$((failures + 1)); }

RUNNER=()  # empty: as whoever runs the suite
AS_NOBODY=(setpriv --reuid=65534 --regid=65534 --clear-groups)
nobody_can_run() { [ "$(id -u)" = 0 ] && "${AS_NOBODY[@]}" test -x "$CLI" 2>/dev/null; }

# The writers: WRITER NAME-IT-WRITES STATUS-WHEN-REFUSED APPENDS. Each runs in the shared
# folder with its output at NAME there; a refused run ends with the status given, before the run
# starts, and names the path. The log, which refuses silently, ends with the run's own status.
WRITERS=(
  "record record.json 2 1"
  "log TEST_LOG.txt 5 1"
  "report report.json 2 0"
  "manifest manifest.json 2 0"
)
SIM=(update --simulate --instant --timeouts short)
writer_command() {
  case $1 in
    record) CMD=("$CLI" "${SIM[@]}" --record "$2") ;;
    log) CMD=("$CLI" "${SIM[@]}" --fault noreply@3x7) ;;
    report) CMD=("$DEVSIM" --api alsa --report "$2") ;;
    manifest) CMD=("$CLI" firmware manifest . --force --version 1.0 --model 0x57) ;;
  esac
}

# plant CASE NAME: puts CASE under NAME in the current folder; the victim is ../victim.
plant() {
  case $1 in
    link) ln -s "$SHARED/../victim" "$2" ;;
    dangling) ln -s "$SHARED/../made-through-a-link" "$2" ;;
    fifo) mkfifo -m 666 "$2" ;;
    theirs)  # another user's file, writable by all, with a forged line in it
      printf 'forged\n' >"$2" && chmod 666 "$2"
      [ "$(id -u)" = 0 ] && [ ${#RUNNER[@]} = 0 ] && chown 65534:65534 "$2" ;;
  esac
}

# The case's target after the run: as it was, and nothing made through a link.
untouched() {
  case $1 in
    link | dangling) [ "$(cat "$SHARED/../victim")" = precious ] &&
      [ ! -e "$SHARED/../made-through-a-link" ] && [ -L "$2" ] ;;
    fifo) [ -p "$2" ] && [ ! -s "$SHARED/fifo-read" ] ;;
    theirs) [ "$(cat "$2")" = forged ] ;;
  esac
}

run_table() {
  local who=$1 entry writer name status appends case
  for entry in "${WRITERS[@]}"; do
    read -r writer name status appends <<<"$entry"
    writer_command "$writer" "$name"
    for case in link dangling fifo theirs; do
      [ $case = theirs ] && [ "$appends" = 0 ] && continue  # a replaced file is not written into
      [ $case = theirs ] && [ "$(id -u)" != 0 ] && { echo "skip $writer/$case: needs root"; continue; }
      SHARED="$WORK/$who/$writer-$case/shared"
      mkdir -p "$SHARED" && chmod 1777 "$SHARED"
      printf 'precious' >"$SHARED/../victim" && chmod 600 "$SHARED/../victim"
      [ "$writer" = manifest ] && "$EXPORT" "$SHARED" >/dev/null
      (cd "$SHARED" && plant $case "$name")
      local reader=
      if [ $case = fifo ]; then
        "${RUNNER[@]}" timeout 60 cat "$SHARED/$name" >"$SHARED/fifo-read" &
        reader=$!
        sleep 0.2
      fi
      (cd "$SHARED" && "${RUNNER[@]}" timeout 30 "${CMD[@]}" >"$WORK/out.txt" 2>"$WORK/err.txt" </dev/null)
      local got=$?
      # Lets a reader that was never written to go.
      [ -n "$reader" ] && { timeout 5 bash -c ": >'$SHARED/$name'" 2>/dev/null; wait $reader; }
      local said=1
      if [ "$writer" != log ]; then
        grep -q -- "$name" "$WORK/err.txt" && ! grep -q "MIDI OUT" "$WORK/out.txt" || said=0
      fi
      if [ $got = "$status" ] && [ $said = 1 ] && untouched $case "$SHARED/$name"; then
        pass "$who: the $writer refuses $case"
      else
        fail "$who: the $writer and $case (status $got, want $status)"
      fi
    done
  done
}

chmod 755 "$WORK"
run_table "as $(id -un)"
if nobody_can_run; then
  RUNNER=("${AS_NOBODY[@]}")
  run_table "as nobody"
else
  echo "skip the table as an unprivileged user: not root, or setpriv cannot run the tools"
fi

[ $failures = 0 ] || { echo "$failures failed"; exit 1; }
echo "all passed"
