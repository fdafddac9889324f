#!/usr/bin/env bash
# Firmware releases end to end, with the minisign tool on the other side: releases it signs
# verify (prehashed and legacy), ours verify with it, and every kind of tampering is refused
# with its own message before a port is opened.
# Usage: release_test.sh PATH-TO-fenupdator-cli PATH-TO-fen-export-firmware TEST-PUB TEST-KEY
set -u
CLI=$(realpath "$1")
EXPORT=$(realpath "$2")
PUB=$(realpath "$3" 2>/dev/null)
KEY=$(realpath "$4" 2>/dev/null)
command -v minisign >/dev/null || { echo "skip: minisign is not installed"; exit 77; }
[ -s "$PUB" ] && [ -s "$KEY" ] || { echo "skip: no test release key"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
pass() { echo "ok   $1"; }
fail() {
  echo "FAIL $1"
  sed 's/^/     /' out.txt err.txt 2>/dev/null | tail -6
  failures=$((failures + 1))
}
sign() { minisign -S -W -s "$KEY" -m "$1/manifest.json" "${@:2}" </dev/null >/dev/null; }

# A release made from the build's images, signed by minisign with the key this build trusts.
mkdir good
"$EXPORT" good >/dev/null
"$CLI" firmware manifest good --version 3.1.4 --model 0x57 --model 0x61 >/dev/null
sign good -t "release 3.1.4"
# Another release whose 137.bin differs.
cp -r good other
printf 'other release' | dd of=other/137.bin bs=1 seek=1000 conv=notrunc status=none
"$CLI" firmware manifest other --version 3.1.5 --model 0x57 --model 0x61 --force >/dev/null

# verify NAME DIR STATUS TEXT: `firmware verify DIR` ends with STATUS and says TEXT.
verify() {
  "$CLI" firmware verify "$2" >out.txt 2>err.txt </dev/null
  local status=$?
  if [ "$status" = "$3" ] && grep -qF -- "$4" out.txt err.txt; then pass "$1"; else
    fail "$1 (status $status, want $3 and \"$4\")"
  fi
}
# refused NAME DIR TEXT: an update from DIR is refused with TEXT, before any port is opened.
refused() {
  verify "$1" "$2" 2 "$3"
  "$CLI" update --simulate --instant --timeouts short --firmware "$2" >out.txt 2>err.txt </dev/null
  local status=$?
  if [ "$status" = 2 ] && grep -qF -- "$3" err.txt && ! grep -q "MIDI OUT" out.txt; then
    pass "$1: the update sends nothing"
  else
    fail "$1: update (status $status)"
  fi
}

verify "minisign's prehashed signature verifies" good 0 "Firmware release 3.1.4 for model 0x57, 0x61, signed by key"
# The key named as minisign names it in the public key's comment.
verify "the key ID is shown as minisign shows it" good 0 \
  "signed by key $(sed -n 's/^untrusted comment: minisign public key //p' "$PUB")"
"$CLI" firmware inspect good --json >out.txt
sum=$(sha256sum good/137.bin | cut -d' ' -f1)
if grep -qF "\"sha256\":\"$sum\"" out.txt && grep -qF '"trusted_comment":"release 3.1.4"' out.txt &&
  grep -qF '"algorithm":"ED"' out.txt; then pass "inspect shows the hashes and the trusted comment"
else fail "inspect --json"; fi
"$CLI" update --simulate --instant --timeouts short --firmware good >out.txt 2>err.txt </dev/null
if [ $? = 0 ] && grep -qx "Simulated device: its flash holds the firmware images." out.txt &&
  grep -q "^Firmware release 3.1.4" out.txt; then pass "a signed release is flashed"
else fail "signed release flashed"; fi

cp -r good legacy && sign legacy -l
verify "minisign's legacy signature verifies" legacy 0 "signed by key"

for image in 129 133 136 137; do
  cp -r good "flip$image"
  byte=$(od -An -tu1 -j 77 -N1 "flip$image/$image.bin" | tr -d ' ')
  printf "\\$(printf '%03o' $((byte ^ 4)))" | dd of="flip$image/$image.bin" bs=1 seek=77 conv=notrunc status=none
  refused "a flipped bit in $image.bin" "flip$image" "flip$image/$image.bin: SHA-256"
done

cp -r good swapped && cp other/137.bin swapped/137.bin
refused "137.bin from another release" swapped "swapped/137.bin: SHA-256"

cp -r good edited && sed -i 's/3.1.4/3.1.9/' edited/manifest.json
refused "the manifest edited after signing" edited "was changed after signing"

cp -r good comment && sed -i 's/^trusted comment: .*/trusted comment: release 9.9.9/' comment/manifest.json.minisig
refused "the trusted comment edited" comment "the trusted comment does not match its signature"

minisign -G -W -p stranger.pub -s stranger.key </dev/null >/dev/null
cp -r good stranger && minisign -S -W -s stranger.key -m stranger/manifest.json </dev/null >/dev/null
refused "a signature by another key" stranger "which this build does not trust"

# `firmware manifest` writes no such release; another tool might.
cp -r good model && sed -i 's/"0x61"/"0x33"/; s/"0x57"/"0x33"/' model/manifest.json && sign model
refused "a release for another model" model "the release is for model 0x33"

# A release for one model refuses a device of the other, after its Identity Reply alone.
cp -r good only57 && "$CLI" firmware manifest only57 --version 3.1.4 --model 0x57 --force >/dev/null && sign only57
"$CLI" update --simulate --instant --timeouts short --model 0x61 --firmware only57 >out.txt 2>err.txt </dev/null
status=$?
if [ $status = 4 ] && grep -qx "Error: Illegal device connected." err.txt; then
  pass "a release for model 0x57 refuses a device of model 0x61"
else fail "release for 0x57 on a 0x61 device (status $status)"; fi

# Unsigned: the simulated device takes it, a real port only with --allow-unsigned.
cp -r good unsigned && rm unsigned/manifest.json.minisig
verify "an unsigned release is not verified" unsigned 2 "not signed"
"$CLI" update --simulate --instant --timeouts short --firmware unsigned >out.txt 2>err.txt </dev/null
if [ $? = 0 ]; then pass "the simulated device takes an unsigned release"; else fail "unsigned, simulated"; fi
"$CLI" update --api jack --firmware unsigned >out.txt 2>err.txt </dev/null
status=$?
if [ $status = 2 ] && grep -q -- "--allow-unsigned" err.txt; then pass "a real port refuses an unsigned release"
else fail "unsigned, real port (status $status)"; fi
"$CLI" update --api jack --firmware unsigned --allow-unsigned --in "No such port" >out.txt 2>err.txt </dev/null
status=$?
if [ $status != 2 ] || ! grep -q "not signed" err.txt; then pass "--allow-unsigned lets it past the check"
else fail "--allow-unsigned (status $status)"; fi

# Without a manifest: the simulated device takes it, unverified and said so; a real port only
# with --allow-unsigned, so that deleting the manifest does not get round the signature.
mkdir bare && cp good/*.bin bare/
"$CLI" update --simulate --instant --timeouts short --firmware bare >out.txt 2>err.txt </dev/null
if [ $? = 0 ] && grep -q "unverified" err.txt; then pass "the simulated device takes a folder without a manifest"
else fail "folder without a manifest, simulated"; fi
"$CLI" update --api jack --firmware bare >out.txt 2>err.txt </dev/null
status=$?
if [ $status = 2 ] && grep -q "bare has no manifest.json.*--allow-unsigned" err.txt &&
  ! grep -q "MIDI OUT" out.txt; then pass "a real port refuses a folder without a manifest"
else fail "no manifest, real port (status $status)"; fi
"$CLI" update --api jack --firmware bare --allow-unsigned --in "No such port" >out.txt 2>err.txt </dev/null
status=$?
if [ $status != 2 ] || ! grep -q "has no manifest" err.txt; then pass "--allow-unsigned takes a folder without a manifest"
else fail "--allow-unsigned without a manifest (status $status)"; fi
verify "a folder without a manifest is not verified" bare 2 "nothing to verify"
"$CLI" firmware verify bare --allow-unsigned >out.txt 2>err.txt </dev/null
if [ $? = 0 ]; then pass "verify --allow-unsigned takes it as an update would"; else fail "verify --allow-unsigned bare"; fi
# A dangling link in the manifest's place is no way round it either.
cp -r bare dangling && ln -s gone.json dangling/manifest.json
refused "a dangling link in the manifest's place" dangling "dangling/manifest.json is a symbolic link"

# Every failure to read the manifest's JSON is a refusal naming it, never an abort.
cp -r bare huge && sed 's/"format": 1/"format": 1e400/' good/manifest.json >huge/manifest.json
grep -q 1e400 huge/manifest.json || fail "the 1e400 manifest was not made"
refused "a number beyond a double" huge "huge/manifest.json: not JSON that can be read"
"$CLI" firmware inspect huge >out.txt 2>err.txt </dev/null
status=$?
if [ $status = 2 ] && grep -q "huge/manifest.json" err.txt; then pass "inspect refuses it too"
else fail "inspect of 1e400 (status $status)"; fi

# Our signatures verify with minisign, prehashed and legacy.
cp -r good ours && rm ours/manifest.json.minisig
"$CLI" firmware sign ours --secret-key "$KEY" --trusted-comment "ours" >/dev/null
if minisign -V -q -p "$PUB" -m ours/manifest.json; then pass "minisign verifies our signature"
else fail "minisign -V of our signature"; fi
"$CLI" firmware sign ours --secret-key "$KEY" --legacy >/dev/null
if minisign -V -q -p "$PUB" -m ours/manifest.json &&
  "$CLI" firmware verify ours >/dev/null 2>&1; then pass "minisign verifies our legacy signature"
else fail "minisign -V of our legacy signature"; fi

# The tools write nothing that the reader would refuse, and read no input without limit.
# rejected NAME TEXT COMMAND...: the command ends with status 2 and says TEXT.
rejected() {
  local name=$1 text=$2
  shift 2
  timeout 20 "$@" >out.txt 2>err.txt </dev/null
  local status=$?
  if [ $status = 2 ] && grep -qF -- "$text" err.txt; then pass "$name"; else fail "$name (status $status)"; fi
}
cp -r ours tools
rejected "manifest: a version of 65 characters" "--version: \"version\" is longer than 64" \
  "$CLI" firmware manifest tools --force --version "$(printf '%065d' 1)" --model 0x57
rejected "manifest: a version with an escape sequence" "holds control characters" \
  "$CLI" firmware manifest tools --force --version $'1.0\e]0;x\a' --model 0x57
rejected "manifest: a model outside the family" "the release is for model 0x33" \
  "$CLI" firmware manifest tools --force --version 1.0 --model 0x33
rejected "manifest: a model ID with trailing text" "--model 0x57zz: not a model ID" \
  "$CLI" firmware manifest tools --force --version 1.0 --model 0x57zz
rejected "sign: a trusted comment too long for a signature file" "more than the 65536" \
  "$CLI" firmware sign tools --secret-key "$KEY" --trusted-comment "$(head -c 100000 /dev/zero | tr '\0' c)"
rejected "sign: a trusted comment of two lines" "is one line" \
  "$CLI" firmware sign tools --secret-key "$KEY" --trusted-comment $'a\nb'
rejected "sign: a secret key that is no file" "/dev/zero is not a regular file" \
  "$CLI" firmware sign tools --secret-key /dev/zero
rejected "update: a simulated model ID with trailing text" "--model 0x57zz: not a model ID" \
  "$CLI" update --simulate --instant --model 0x57zz
"$CLI" firmware verify tools >/dev/null 2>&1 || fail "the refused commands left the release changed"
ln -s "$KEY" linked.key
"$CLI" firmware sign tools --secret-key linked.key >/dev/null 2>&1 && "$CLI" firmware verify tools >/dev/null 2>&1 &&
  pass "sign: a secret key given through a link is read" || fail "sign with a linked secret key"

# Outputs are new files renamed into place: a link planted under their name is refused, and
# what it points to is left alone.
echo precious >victim
cp -r good planted && rm planted/manifest.json && ln -s ../victim planted/manifest.json
rejected "manifest: a planted link as the manifest" "is a symbolic link" \
  "$CLI" firmware manifest planted --force --version 1.0 --model 0x57
cp -r good planted-sig && ln -sf ../victim planted-sig/manifest.json.minisig
rejected "sign: a planted link as the signature" "is a symbolic link" \
  "$CLI" firmware sign planted-sig --secret-key "$KEY"
mkdir planted-image && ln -s ../victim planted-image/133.bin
"$EXPORT" planted-image >out.txt 2>err.txt
status=$?
if [ $status != 0 ] && grep -q "133.bin is a symbolic link" err.txt; then pass "export: a planted link is refused"
else fail "export through a planted link (status $status)"; fi
if [ "$(cat victim)" = precious ]; then pass "nothing was written through a planted link"
else fail "the link's target was overwritten"; fi
"$EXPORT" new/release >/dev/null 2>&1 && [ -s new/release/137.bin ] && pass "export makes a missing folder" ||
  fail "export into a missing folder"
"$EXPORT" --help >out.txt 2>&1
if [ $? = 0 ] && grep -q "usage" out.txt && [ ! -e --help ]; then pass "export --help is no folder"
else fail "export --help"; fi

# Text from a release folder is untrusted: what the reader takes reaches the terminal escaped,
# and the JSON lines stay JSON with every control escaped; what could drive a terminal in a
# version is refused, by the reader and by the tool that writes a manifest.
ESC=$'\e'
raw_controls() { LC_ALL=C grep -q $'[\x01-\x08\x0b-\x1f\x7f]\|\xc2[\x80-\x9f]\|\xe2\x80[\xa8-\xae]' "$@"; }
cp -r good comment
sign comment -t "release 3.1.4 ${ESC}]0;PWNED"$'\a'" "$'\xe2\x80\xae'"txt.exe"
"$CLI" firmware inspect comment >out.txt 2>err.txt </dev/null
if [ $? = 0 ] && grep -qF 'trusted comment: release 3.1.4 \e]0;PWNED\x07 \u{202E}txt.exe' out.txt &&
  ! raw_controls out.txt; then pass "inspect: a signed trusted comment is shown escaped"
else fail "inspect: trusted comment"; fi
for args in "firmware inspect comment --json" "firmware verify comment --json" \
  "update --simulate --instant --timeouts short --json --firmware comment"; do
  "$CLI" $args >out.txt 2>err.txt </dev/null
  if [ $? = 0 ] && ! raw_controls out.txt err.txt && jq -e . out.txt >/dev/null &&
    jq -r 'select(.trusted_comment) | .trusted_comment' out.txt | grep -q "${ESC}]0;PWNED"; then
    pass "${args%% --json*}: the JSON carries the trusted comment escaped"
  else fail "$args: JSON of a hostile trusted comment"; fi
done
# hostile NAME DIR TEXT: verify, inspect and update refuse DIR saying TEXT, with nothing raw.
hostile() {
  local cmd
  for cmd in "firmware verify" "firmware inspect" "update --simulate --instant --timeouts short --firmware"; do
    "$CLI" $cmd "$2" >out.txt 2>err.txt </dev/null
    local status=$?
    if [ $status = 2 ] && grep -qF -- "$3" err.txt && ! raw_controls out.txt err.txt &&
      ! grep -q "MIDI OUT" out.txt; then pass "$1: ${cmd%% --*} refuses it"
    else fail "$1: ${cmd%% --*} (status $status)"; fi
  done
}
for version in $'3.1\xc2\x9b2J' $'3.1\xe2\x80\xae4' $'3.1\x7f' $'3.1\e]0;T\a'; do
  name="version-$(printf '%s' "$version" | od -An -tx1 | tr -d ' \n')"
  cp -r good "$name" && rm "$name/manifest.json.minisig"
  jq --arg v "$version" '.version = $v' good/manifest.json >"$name/manifest.json"
  sign "$name"
  hostile "a version holding bytes ${name#version-}" "$name" '"version" holds control characters'
done
rejected "manifest: a version with a C1 control" "holds control characters" \
  "$CLI" firmware manifest tools --force --version $'1.0\xc2\x9b' --model 0x57
rejected "manifest: a version with a right-to-left override" "holds control characters" \
  "$CLI" firmware manifest tools --force --version $'1.0\xe2\x80\xae' --model 0x57
rejected "manifest: a version that is not UTF-8" "is not UTF-8" \
  "$CLI" firmware manifest tools --force --version $'1.0\xff' --model 0x57
rejected "sign: a trusted comment with an escape sequence" "--trusted-comment: the trusted comment holds" \
  "$CLI" firmware sign tools --secret-key "$KEY" --trusted-comment "${ESC}]0;T"$'\a'
rejected "sign: a trusted comment with a right-to-left override" "holds control characters" \
  "$CLI" firmware sign tools --secret-key "$KEY" --trusted-comment $'a\xe2\x80\xaeb'
# A key given twice whose name is an escape sequence: the refusal quotes it escaped.
cp -r good twice && rm twice/manifest.json.minisig
sed -i 's/^{/{"\\u001b]0;PWNED\\u0007": 1, "\\u001b]0;PWNED\\u0007": 2,/' twice/manifest.json
hostile "a key given twice" twice '"\e]0;PWNED\x07" is given twice'
# One signed file, two manifests: the reader refuses the NUL that would hide the second.
cp -r good nul && rm nul/manifest.json.minisig
{ cat good/manifest.json; printf '\0'; sed 's/0x57/0x33/' good/manifest.json; } >nul/manifest.json
sign nul
hostile "a manifest with a NUL byte and a second document" nul "holds a NUL byte at offset"

[ $failures = 0 ] || { echo "$failures failed"; exit 1; }
echo "all passed"
