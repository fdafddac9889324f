#!/usr/bin/env bash
# Runs fenupdator-cli against the built-in simulated device with faults and checks what a
# user or a script sees: exit status, the last line, the error text and the log lines.
#   cli_test.sh BUILD_DIR
source "$(dirname "$0")/../e2e/e2e_lib.sh"

# expect NAME STATUS LAST-LINE-OR-ERROR LOG-LINES -- ARGS...
expect() {
  local name=$1 want_status=$2 want_text=$3 want_log=$4
  shift 5
  : >TEST_LOG.txt
  "$CLI" update --simulate --instant --timeouts short "$@" >out.txt 2>err.txt </dev/null
  expect_outcome "$name" $? "$want_status" "$want_text" "$want_log"
}

expect "full update" 0 "Version update completed." "" --
expect "model 0x61" 0 "Version update completed." "" -- --model 0x61
expect "CRC and flash errors recovered" 0 "Version update completed." \
  "(CRC)Transfer error occurred.|(CRC)Transfer error occurred.|(Flash Write)Transfer error occurred." \
  -- --fault crc@5x2 --fault flash@700
expect "block never answered" 5 "Time out error(2)" "(Write)Time Out Error." -- --fault noreply@9x7
expect "not in update mode" 4 "Please use the firmware update mode." \
  "Please use the firmware update mode." -- --fault not-update-mode
expect "illegal model" 4 "Illegal device connected." "Illegal device connected." -- --fault model=0x33
expect "late reply then CRC error" 0 "Version update completed." "(CRC)Transfer error occurred." \
  -- --fault late@20:300 --fault crc@21
expect "device requests mid-transfer" 0 "Version update completed." "" \
  -- --fault identity-request@3 --fault vendor-request@4=0x05 --fault vendor-request@5=0x20
expect "vanished device" 5 "Time out error(2)" "(Write)Time Out Error." -- --fault silent@30
# The device's answer to Finish Update decides: a failure status is a failed update.
for status in 3 8 11; do
  expect "finish update answered $status" 5 "Transfer error occurred." \
    "(Finish)Transfer error occurred." -- --fault finish-status=$status
done
expect "another host writing to the device" 5 "Another program is talking to the device." \
  "Another program is talking to the device." -- --fault second-host@40

# After the error, a line says whether the flash changed and what to do next.
"$CLI" update --simulate --instant --timeouts short --fault noreply@9x7 >/dev/null 2>err.txt </dev/null
if [ "$(sed -n 2p err.txt)" = "The flash is partly written. Keep the device connected and powered, check the cable (or try another cable or USB port), and run the update again before unplugging or using the device." ]; then
  ok "the error is followed by what to do next"
else
  fail "no advice after the error: $(cat err.txt)"
fi

# Arguments out of range and a bad firmware folder are refused before anything is touched.
for args in "--instance 21" "--pace warp" "--fault bogus@" "--model 0x200" "--firmware /nonexistent"; do
  # shellcheck disable=SC2086
  "$CLI" update --simulate $args >/dev/null 2>err.txt </dev/null
  status=$?
  if [ "$status" = 2 ] && [ -s err.txt ]; then
    ok "refused: $args"
  else
    fail "refused: $args (status $status)"
  fi
done

# Slips: a word that is no command, and options of the simulated device given for a real one,
# are refused with what went wrong (status 2), not taken silently or misreported.
slip() {  # slip NAME WANT-ERROR-TEXT ARGS...
  local name=$1 want=$2
  shift 2
  "$CLI" "$@" >/dev/null 2>err.txt </dev/null
  local status=$?
  if [ "$status" = 2 ] && grep -qF -e "$want" err.txt; then
    ok "slip: $name"
  else
    fail "slip: $name (status $status): $(head -2 err.txt)"
  fi
}
slip "unknown command" 'no command "frobnicate"' frobnicate
slip "--pace for a real device" "--pace sets up the simulated device" update --pace din --api jack
slip "--instant for a real device" "--instant sets up the simulated device" update --instant --api jack
slip "--model for a real device" "--model sets up the simulated device" update --model 0x61 --api jack
slip "identify --model for real devices" "--model sets up the simulated device" identify --model 0x61
slip "a mistyped command" 'no command "udpate" (did you mean "update"?)' udpate
slip "a mistyped option" "no option --jsno; did you mean --json?" update --simulate --jsno
slip "a port index out of range names the side and the range" \
  "no MIDI OUT port 99: the only MIDI OUT port is 0" update --simulate --in 0 --out 99
slip "--fault for a real device" "--fault sets up the simulated device" update --fault crc@5 --api jack
"$CLI" update --all --simulate-devices 2 --fault noreply@9x7 --instant --timeouts short \
  >out.txt 2>err.txt </dev/null
check "--fault applies to the devices of --simulate-devices" \
  [ $? = 5 -a "$(grep -c ': Error: Time out error(2)$' err.txt)" = 2 ]
"$CLI" update --simulate --instant --timeouts short -q >out.txt 2>err.txt </dev/null
check "-q prints the result alone" [ $? = 0 -a "$(cat out.txt)" = "Version update completed." -a ! -s err.txt ]
"$CLI" update --simulate --instant --timeouts short -q --fault noreply@9x7 >out.txt 2>err.txt </dev/null
check "-q prints the error and its advice" [ $? = 5 -a ! -s out.txt -a "$(wc -l <err.txt)" = 2 ]
"$CLI" update --simulate --instant --timeouts short -v --fault crc@5 >out.txt 2>err.txt </dev/null
check "-v prints each message's kind and size and each retry's cause" \
  [ $? = 0 -a "$(grep -c '^> Write Block, [0-9]* bytes$' out.txt)" -gt 1900 \
  -a "$(grep -c '^< Status 0x08 (crc mismatch), [0-9]* bytes$' out.txt)" = 1 \
  -a "$(grep -c '^retry: step 3, block 5 at offset 10240, attempt 1 failed: crc mismatch$' out.txt)" = 1 ]

"$CLI" update --timeouts short --api jack >/dev/null 2>err.txt </dev/null
if grep -q "a real device may need the original time-outs" err.txt; then
  ok "--timeouts short for a real device is named as a time-out for tests"
else
  fail "--timeouts short for a real device passes silently"
fi

# The placeholder images never go to a real port.
if "$CLI" --version | grep -q "placeholder"; then
  "$CLI" update --api jack >/dev/null 2>err.txt </dev/null
  status=$?
  if [ "$status" = 2 ] && grep -q "placeholder" err.txt; then
    ok "placeholder images refused on a real port"
  else
    fail "placeholder images on a real port (status $status)"
  fi
fi

# Every device at once: one session per pair of ports named like the device, a summary, and
# exit status 0 only when every device was updated.
check_all() {
  local name=$1 want_status=$2 want_summary=$3
  shift 3
  : >TEST_LOG.txt
  "$CLI" update --all --instant --timeouts short "$@" >out.txt 2>err.txt </dev/null
  status_and_line "$name" $? "$want_status" -x "$want_summary"
}
check_all "all of three devices" 0 "Summary: 3 of 3 devices updated." --simulate-devices 3
if [ "$(grep -c "^USB Audio Device.*: Version update completed.$" out.txt)" != 3 ] ||
  [ "$(grep -c "flash holds the firmware images" out.txt)" != 3 ]; then
  fail "all of three devices: not every device reported completion and a verified flash"
fi
check_all "all devices, each failing" 5 "Summary: 0 of 2 devices updated, 2 failed." \
  --simulate --simulate-devices 2 --fault noreply@9x7
"$CLI" update --all --in 0 --simulate >/dev/null 2>err.txt </dev/null
if [ $? = 2 ]; then ok "--all refuses --in"; else fail "--all with --in"; fi

# On 80- and 40-column terminals the progress line, the board and every line around them stay
# within the width; the board's failed unit has its error and advice under it, and no stale
# progress line stays above the live one.
for columns in 80 40; do
  python3 "$(dirname "$0")/pty_run.py" $columns tty.txt tty-err.txt \
    "$CLI" update --simulate --instant --timeouts short
  check "the progress line at $columns columns" [ $? = 0 ]
  python3 "$(dirname "$0")/pty_run.py" $columns tty.txt tty-err.txt \
    "$CLI" update --all --simulate-devices 3 --fault 2:noreply@9x7 --instant --timeouts short
  check "the board at $columns columns, one unit failing" [ $? = 5 \
    -a "$(grep -c '^USB Audio Device (2): Error: Time out error(2)$' tty-err.txt)" = 1 \
    -a "$(grep -c '^USB Audio Device (2): The flash is partly written' tty-err.txt)" = 1 ]
done
check "the 40-column board's last frame tells the siblings apart" python3 - <<'PY'
frame = open("tty.txt", encoding="utf-8", newline="").read().split("\x1b[3A\x1b[J")[-1]
frame = frame.split("\r\n")[:3]
assert "(2)" not in frame[0] and "(2)" in frame[1] and "(3)" in frame[2], frame
assert "Error: Time out" in frame[1], frame
PY
python3 "$(dirname "$0")/pty_run.py" 80 tty.txt tty-err.txt "$CLI" update --simulate --pace usb
check "at 80 columns the line shows percent, rate and time left" python3 - <<'PY'
import re
text = open("tty.txt", encoding="utf-8", newline="").read()
lines = [s for s in re.split(r"\x1b\[[0-9;]*[A-Za-z]|\r|\n", text) if s]
assert any(re.search(r"\d+%  \d+ KiB/s  left \d+:\d\d$", l) for l in lines), lines[:8]
# What the terminal shows when the run has ended: no progress line left above "Device:".
shown = [l for l in re.sub(r"[^\n]*\r\x1b\[K", "", text.replace("\r\n", "\n")).split("\n") if l]
assert shown[2].startswith("Device: "), shown[:4]
PY

# The device's identity: shown in a run once its Identity Reply has come, and listed by
# `identify`, which tells an echoing port apart and pairs ports by identity for `--all`.
# check_out NAME WANT-STATUS PATTERN ARGS...: the tool's status and a line of its output.
check_out() {
  local name=$1 want_status=$2 pattern=$3
  shift 3
  "$CLI" "$@" >out.txt 2>err.txt </dev/null
  status_and_line "$name" $? "$want_status" -E "$pattern"
}
check_out "a run shows the device's identity" 0 \
  "^Device: model 0x61, family 0x0061, member 0x0000, revision 1000, manufacturer 0x52$" \
  update --simulate --instant --timeouts short --model 0x61
check_out "a run's JSON events have the identity" 0 '^\{"event":"identity","model":"0x57",.*"revision":"1000"' \
  update --simulate --instant --timeouts short --json
check_out "the window's calls behind --json-calls have the identity" 0 \
  '^\{"call":"identity","model":"0x57",.*"revision":"1000"' \
  update --simulate --instant --timeouts short --json --json-calls
check_out "identify lists the devices and the echo apart" 0 \
  '^Echo: MIDI IN "Midi Through" hands back what MIDI OUT "Midi Through" sends' \
  identify --simulate-devices 2 --simulate-echo
[ "$(grep -c '^Device USB Audio Device' out.txt)" = 2 ] || fail "identify: not both devices listed"
check_out "identify finds no device of another model" 3 '"devices":\[\],"others":\[\{' \
  identify --simulate --model 0x33 --json
check_out "--all pairs ports by identity where names do not tell" 0 \
  "^  Odd Synth \(2\): MIDI IN Odd Synth \(2\), MIDI OUT Odd Synth \(2\) \(paired by its Identity Reply\)$" \
  update --all --simulate-devices 2 --simulate-name "Odd Synth" --simulate-echo --instant \
  --timeouts short
grep -qx "Summary: 2 of 2 devices updated." out.txt || fail "--all by identity: not both updated"
check_out "update finds the device by its answer where names do not tell, never an echo" 0 \
  "^\(found by the device's answer to an Identity Request: no port bears its name\)$" \
  update --simulate --simulate-name "Odd Synth" --simulate-echo --instant --timeouts short
grep -q '^MIDI OUT: Odd Synth$' out.txt || fail "update by identity: not the device's ports"

# --json: an event stream that describes the update; --record: one line per run, appended.
"$CLI" update --simulate --instant --timeouts short --fault crc@5 --json --record rec.jsonl \
  >events.jsonl 2>err.txt </dev/null
check "the event stream: schema and plan first, one result last, a retry named" python3 - <<'PY'
import json
lines = [json.loads(l) for l in open("events.jsonl")]
first, last = lines[0], lines[-1]
assert first["schema"] == 1 and first["event"] == "plan" and len(first["steps"]) == 9, first
assert [l["event"] for l in lines].count("result") == 1 and last["event"] == "result", last
assert last["outcome"] == "completed" and last["exit"] == 0 and last["resends"] == 1, last
assert last["device"]["model"] == "0x57" and last["release"] == "embedded", last
retries = [l for l in lines if l["event"] == "retry"]
assert retries == [{"event": "retry", "step": 3, "block": 5, "offset": 10240, "attempt": 1,
                    "reason": "crc mismatch"}], retries
assert len([l for l in lines if l["event"] == "step"]) == 9
assert len([l for l in lines if l["event"] == "progress"]) <= 110
PY
# No port named like the device: said as such, with what there is and what to do, exit 3, and
# no advice about a port that another program may hold.
"$CLI" update --simulate --instant --instance 2 >/dev/null 2>err.txt </dev/null
check "no device for the instance is said as such" \
  [ $? = 3 -a "$(grep -c '^fenupdator-cli: no device found: .*lists MIDI IN "USB Audio Device"' err.txt)" = 1 \
  -a "$(grep -c 'simulated device is instance 1' err.txt)" = 1 -a "$(grep -c 'hold the port' err.txt)" = 0 ]

# Every way an update ends, in the event stream: each line an event of the schema, every
# failure an error event with the exit status, the text and the advice the terminal shows.
json_outcome() {  # json_outcome NAME WANT-STATUS ARGS...
  local name=$1 want=$2
  shift 2
  "$CLI" update --json "$@" >events-out.jsonl 2>events-err.txt </dev/null
  local status=$?
  if [ "$status" != "$want" ]; then
    fail "events, $name: status $status, not $want: $(head -2 events-err.txt)"
  elif out=$(python3 "$(dirname "$0")/check_events.py" "$(dirname "$0")/../../docs/cli-events.schema.json" \
    events-out.jsonl events-err.txt "$status" 2>&1); then
    ok "events, $name"
  else
    fail "events, $name: $out"
  fi
}
fast=(--simulate --instant --timeouts short)
json_outcome "completed after a retry" 0 "${fast[@]}" --fault crc@5
json_outcome "write time-out" 5 "${fast[@]}" --fault noreply@9x7
json_outcome "not in update mode" 4 "${fast[@]}" --fault not-update-mode
json_outcome "another host" 5 "${fast[@]}" --fault second-host@40
json_outcome "a release refused" 2 --simulate --firmware /nonexistent
json_outcome "a record that cannot be written" 2 "${fast[@]}" --record /nonexistent-folder/r.jsonl
json_outcome "no device for the instance" 3 "${fast[@]}" --instance 2
json_outcome "a bad fault" 2 --simulate --fault bogus@
json_outcome "every device at once" 0 --all "${fast[@]}" --simulate-devices 2
json_outcome "every device at once, failing" 5 --all "${fast[@]}" --simulate-devices 2 \
  --fault noreply@9x7
json_outcome "every device at once, none found" 3 --all "${fast[@]}" --simulate-name "Odd Synth" \
  --model 0x33
if "$CLI" --version | grep -q "placeholder"; then
  json_outcome "placeholder images for a real port" 2 --api jack
fi

"$CLI" update --simulate --instant --timeouts short --fault noreply@9x7 --record rec.jsonl \
  --label SN-0043 >/dev/null 2>&1 </dev/null
"$CLI" update --simulate --instant --timeouts short --fault crc@12x7 --record rec.jsonl \
  >/dev/null 2>&1 </dev/null
check "the record: one line per run, appended, with the run's outcome" python3 - <<'PY'
import json, re, socket
lines = [json.loads(l) for l in open("rec.jsonl")]
assert [l["outcome"] for l in lines] == ["completed", "write time-out", "transfer error"], lines
assert [l["exit"] for l in lines] == [0, 5, 5]
# Where each run stopped, what the device said and the text shown; the unit and the station.
where = ["failed_step", "failed_block", "failed_offset", "device_status", "error"]
assert [lines[0][k] for k in where] == [None] * 5, lines[0]
assert [lines[1][k] for k in where] == [3, 9, 18432, None, "Time out error(2)"], lines[1]
assert [lines[2][k] for k in where] == [3, 12, 24576, 8, "Transfer error occurred."], lines[2]
assert [l["unit"] for l in lines] == [None, "SN-0043", None], lines
assert all(l["station"] == socket.gethostname() for l in lines), lines
iso = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$")
for l in lines:
    assert list(l)[:10] == ["started", "ended", "outcome", "exit", "in_port", "out_port",
                            "device", "release", "resends", "duration_s"], list(l)
    assert iso.match(l["started"]) and iso.match(l["ended"]), l
assert lines[1]["resends"] == 6
PY
# A record line that cannot be written after the run (the file may grow no more) is said as
# such, with a status of its own and an error event: the update completed, its line is lost.
: >full.jsonl
(trap '' XFSZ; ulimit -f 0; exec "$CLI" update --simulate --instant --timeouts short \
  --record full.jsonl --json </dev/null) > >(cat >events-out.jsonl) 2> >(cat >events-err.txt)
STATUS=$?
sleep 0.5
check "a record line lost after the run ends in status 8, in text and in the event stream" \
  [ "$STATUS" = 8 -a "$(grep -c "this run's line is not in the record" events-err.txt)" = 1 ]
check "the lost record's error event" python3 "$(dirname "$0")/check_events.py" \
  "$(dirname "$0")/../../docs/cli-events.schema.json" events-out.jsonl events-err.txt 8
"$CLI" update --simulate --instant --record /nonexistent-folder/rec.jsonl >/dev/null 2>err.txt </dev/null
check "a record that cannot be written is refused before the run" \
  [ $? = 2 -a "$(grep -c 'cannot write the record' err.txt)" = 1 ]
: >shared.jsonl
for i in 1 2 3 4; do
  "$CLI" update --simulate --instant --timeouts short --record shared.jsonl >/dev/null 2>&1 </dev/null &
done
wait
check "four processes appending to one record leave four whole lines" python3 - <<'PY'
import json
lines = open("shared.jsonl").read().splitlines()
assert len(lines) == 4 and all(json.loads(l)["outcome"] == "completed" for l in lines), lines
PY
# signalled_run SIGNAL RECORD: a run at the device's own speed sent SIGNAL a second in; its
# exit status in STATUS.
signalled_run() {
  "$CLI" update --simulate --pace usb --record "$2" >/dev/null 2>&1 </dev/null &
  local pid=$!
  sleep 1
  kill "-$1" $pid
  wait $pid
  STATUS=$?
}
signalled_run INT interrupted.jsonl
check "Ctrl-C ends the run with its record line" \
  [ "$STATUS" = 6 -a "$(grep -c '"outcome":"interrupted","exit":6' interrupted.jsonl)" = 1 ]

# A reader that goes away (`| head`) and a closed terminal (SIGHUP) do not stop a flash
# half-way: the run ends in order, with its record and its own exit status.
"$CLI" update --simulate --pace usb --record piped.jsonl </dev/null 2>/dev/null | head -c 1 >/dev/null
check "a closed standard output leaves the run to complete with its record" \
  [ "${PIPESTATUS[0]}" = 0 -a "$(grep -c '"outcome":"completed","exit":0' piped.jsonl)" = 1 ]
signalled_run HUP hungup.jsonl
check "a hang-up leaves the run to complete with its record" \
  [ "$STATUS" = 0 -a "$(grep -c '"outcome":"completed","exit":0' hungup.jsonl)" = 1 ]

finish
