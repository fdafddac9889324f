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

cp -r good model && "$CLI" firmware manifest model --version 3.1.4 --model 0x33 --force >/dev/null && sign model
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

# Without a manifest: as before, sizes only, and said so.
mkdir bare && cp good/*.bin bare/
"$CLI" update --simulate --instant --timeouts short --firmware bare >out.txt 2>err.txt </dev/null
if [ $? = 0 ] && grep -q "unverified" err.txt; then pass "a folder without a manifest still works, unverified"
else fail "folder without a manifest"; fi

# Our signatures verify with minisign, prehashed and legacy.
cp -r good ours && rm ours/manifest.json.minisig
"$CLI" firmware sign ours --secret-key "$KEY" --trusted-comment "ours" >/dev/null
if minisign -V -q -p "$PUB" -m ours/manifest.json; then pass "minisign verifies our signature"
else fail "minisign -V of our signature"; fi
"$CLI" firmware sign ours --secret-key "$KEY" --legacy >/dev/null
if minisign -V -q -p "$PUB" -m ours/manifest.json &&
  "$CLI" firmware verify ours >/dev/null 2>&1; then pass "minisign verifies our legacy signature"
else fail "minisign -V of our legacy signature"; fi

[ $failures = 0 ] || { echo "$failures failed"; exit 1; }
echo "all passed"
