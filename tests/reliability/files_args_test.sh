#!/usr/bin/env bash
# Bad files and bad arguments for the command-line updater: a TEST_LOG.txt that is a folder,
# read-only, a FIFO or on a full disk; firmware folders with missing, short, long or unreadable
# images; arguments out of range. Each gets a clear message and loses nothing.
# Usage: files_args_test.sh PATH-TO-fenupdator-cli
set -u
CLI=$(readlink -f "$1")
WORK=$(mktemp -d)
chmod 755 "$WORK"
trap 'chmod -R u+rwX "$WORK" 2>/dev/null; rm -rf "$WORK"' EXIT
failures=0
SIM=(update --simulate --instant --timeouts short)

pass() { echo "ok   $1"; }
fail() { echo "FAIL $1"; failures=$((failures + 1)); }

# Runs the tool in folder $1 with the remaining arguments, at most 60 s; sets STATUS, OUT, ERR.
run_in() {
  local dir=$1; shift
  (cd "$dir" && timeout 60 "$@" >"$WORK/out.txt" 2>"$WORK/err.txt" </dev/null)
  STATUS=$?
  OUT=$(cat "$WORK/out.txt")
  ERR=$(cat "$WORK/err.txt")
}

# As an unprivileged user, so that file permissions count when the suite runs as root.
AS_USER=()
[ "$(id -u)" = 0 ] && AS_USER=(setpriv --reuid=65534 --regid=65534 --clear-groups)
can_drop_root() { "${AS_USER[@]}" test -x "$CLI" 2>/dev/null; }

last_line() { printf '%s\n' "$OUT" | tail -n 1; }

# ---- TEST_LOG.txt ------------------------------------------------------------------------

d="$WORK/log-folder"; mkdir -p "$d/TEST_LOG.txt"; echo keep >"$d/TEST_LOG.txt/inside"
run_in "$d" "$CLI" "${SIM[@]}" --fault crc@5
if [ $STATUS = 0 ] && [ -d "$d/TEST_LOG.txt" ] && [ "$(cat "$d/TEST_LOG.txt/inside")" = keep ]; then
  pass "TEST_LOG.txt as a folder: the run completes, the folder is untouched"
else
  fail "TEST_LOG.txt as a folder (status $STATUS)"
fi

d="$WORK/log-fifo"; mkdir -p "$d"; mkfifo "$d/TEST_LOG.txt"
run_in "$d" "$CLI" "${SIM[@]}" --fault noreply@3x7
if [ $STATUS = 5 ] && [ -p "$d/TEST_LOG.txt" ]; then
  pass "TEST_LOG.txt as a FIFO: no hang, the failure is reported"
else
  fail "TEST_LOG.txt as a FIFO (status $STATUS)"
fi

if can_drop_root; then
  d="$WORK/log-readonly"; mkdir -p "$d"; chmod 777 "$d"
  printf 'kept\n' >"$d/TEST_LOG.txt"; chmod 444 "$d/TEST_LOG.txt"
  [ "$(id -u)" = 0 ] && chown 65534 "$d/TEST_LOG.txt"
  run_in "$d" "${AS_USER[@]}" "$CLI" "${SIM[@]}" --fault crc@5 --fault noreply@9x7
  if [ $STATUS = 5 ] && [ "$(cat "$d/TEST_LOG.txt")" = kept ] &&
     grep -q "Time out error(2)" "$WORK/err.txt"; then
    pass "read-only TEST_LOG.txt: kept as it was, the failure still reported"
  else
    fail "read-only TEST_LOG.txt (status $STATUS): $ERR"
  fi
else
  echo "skip read-only TEST_LOG.txt: cannot run as an unprivileged user"
fi

# A full disk: a file size limit refuses the append as ENOSPC would (the signal it also raises
# is ignored, as a full disk raises none).
d="$WORK/log-full"; mkdir -p "$d"; head -c 3000 /dev/zero | tr '\0' 'x' >"$d/TEST_LOG.txt"
before=$(md5sum <"$d/TEST_LOG.txt")
(cd "$d" && trap '' XFSZ && ulimit -f 2 && timeout 60 "$CLI" "${SIM[@]}" --fault crc@5 \
  --fault noreply@9x7 2>"$WORK/err.txt" </dev/null | cat >/dev/null; exit "${PIPESTATUS[0]}")
STATUS=$?
if [ $STATUS = 5 ] && [ "$(md5sum <"$d/TEST_LOG.txt")" = "$before" ] &&
   grep -q "Time out error(2)" "$WORK/err.txt"; then
  pass "full disk: the log keeps its content, the failure is still reported"
else
  fail "full disk (status $STATUS)"
fi

d="$WORK/log-ok"; mkdir -p "$d"; printf 'earlier line\n' >"$d/TEST_LOG.txt"
run_in "$d" "$CLI" "${SIM[@]}" --fault crc@5
if [ $STATUS = 0 ] && [ "$(head -n 1 "$d/TEST_LOG.txt")" = "earlier line" ] &&
   [ "$(wc -l <"$d/TEST_LOG.txt")" = 2 ] && grep -q "(CRC)Transfer error occurred." "$d/TEST_LOG.txt"; then
  pass "a writable TEST_LOG.txt keeps earlier lines and gets the new one"
else
  fail "writable TEST_LOG.txt (status $STATUS)"
fi

# ---- Firmware folders --------------------------------------------------------------------

release="$WORK/release"; mkdir -p "$release"
for image in 129:720896 133:12288 136:262144 137:2912256; do
  head -c "${image#*:}" /dev/urandom >"$release/${image%%:*}.bin"
done
run_in "$WORK" "$CLI" "${SIM[@]}" --firmware "$release"
if [ $STATUS = 0 ] && [ "$(last_line)" = "Simulated device: its flash holds the firmware images." ]; then
  pass "a whole firmware folder is flashed"
else
  fail "whole firmware folder (status $STATUS): $ERR"
fi

# bad_folder NAME EXPECTED-TEXT SETUP...: a copy of the release changed by SETUP (run in it).
bad_folder() {
  local name=$1 text=$2; shift 2
  local f="$WORK/fw-$RANDOM"
  cp -r "$release" "$f"
  (cd "$f" && eval "$*")
  local sums_before
  sums_before=$(cd "$f" && find . -type f -exec md5sum {} + 2>/dev/null | sort)
  local logdir="$WORK/log-$RANDOM"; mkdir -p "$logdir"; : >"$logdir/TEST_LOG.txt"
  if [ "$name" = "unreadable image" ]; then
    run_in "$logdir" "${AS_USER[@]}" "$CLI" "${SIM[@]}" --firmware "$f"
  else
    run_in "$logdir" "$CLI" "${SIM[@]}" --firmware "$f"
  fi
  local sums_after
  sums_after=$(cd "$f" && find . -type f -exec md5sum {} + 2>/dev/null | sort)
  if [ $STATUS = 2 ] && printf '%s' "$ERR" | grep -q -- "$text" && [ "$sums_before" = "$sums_after" ] &&
     [ ! -s "$logdir/TEST_LOG.txt" ] && ! printf '%s' "$OUT" | grep -q "MIDI OUT"; then
    pass "firmware folder, $name: refused with \"$(printf '%s' "$ERR" | head -n 1)\""
  else
    fail "firmware folder, $name (status $STATUS): $ERR"
  fi
}
bad_folder "missing image" "133.bin" "rm 133.bin"
bad_folder "short image" "136.bin" "truncate -s -1 136.bin"
bad_folder "long image" "137.bin" "truncate -s +1 137.bin"
bad_folder "empty image" "129.bin" ": >129.bin"
bad_folder "image that is a folder" "129.bin" "rm 129.bin && mkdir 129.bin"
bad_folder "image that is a FIFO" "133.bin" "rm 133.bin && mkfifo 133.bin"
bad_folder "image that is a dangling link" "136.bin" "rm 136.bin && ln -s nowhere 136.bin"
if can_drop_root; then
  bad_folder "unreadable image" "133.bin" "chmod 000 133.bin && chmod 755 ."
else
  echo "skip unreadable image: cannot run as an unprivileged user"
fi
run_in "$WORK" "$CLI" "${SIM[@]}" --firmware "$WORK/no-such-folder"
if [ $STATUS = 2 ] && printf '%s' "$ERR" | grep -q "no-such-folder"; then
  pass "missing firmware folder: refused, named"
else
  fail "missing firmware folder (status $STATUS): $ERR"
fi

# ---- Arguments out of range ---------------------------------------------------------------

d="$WORK/args"; mkdir -p "$d"
refuse() {
  : >"$d/TEST_LOG.txt"
  run_in "$d" "$CLI" "$@"
  if [ $STATUS = 2 ] && [ -n "$ERR" ] && [ ! -s "$d/TEST_LOG.txt" ] &&
     ! printf '%s' "$OUT" | grep -q "Version update completed"; then
    pass "refused: $* -> $(printf '%s' "$ERR" | grep -v '^Run with' | head -n 1)"
  else
    fail "not refused: $* (status $STATUS) $ERR"
  fi
}
refuse update --simulate --instance 0
refuse update --simulate --instance 21
refuse update --simulate --instance -3
refuse update --simulate --instance abc
refuse update --simulate --instance 99999999999999999999
refuse list --instance 21
refuse update --simulate --model 0x80
refuse update --simulate --model -1
refuse update --simulate --model zz
refuse update --simulate --pace warp
refuse update --simulate --timeouts never
refuse update --simulate --fault crc@1908
refuse update --simulate --fault crc@-1
refuse update --simulate --fault late@5:999999999999
refuse update --simulate --fault status@5=128
refuse update --simulate --fault erase-status@3=1
refuse update --simulate --fault crc@5x-1
refuse update --simulate --fault nonsense
refuse update --simulate --fault ""
refuse update --fault crc@5
refuse update --simulate --in 99
refuse update --simulate --in 99999999999999999999
refuse update --simulate --out "No Such Port"
refuse update --simulate --bogus
refuse

[ $failures = 0 ] || { echo "$failures failed"; exit 1; }
echo "all passed"
