#!/usr/bin/env bash
# The configure-time check of FEN_FIRMWARE_DIR: a signed release passes, a damaged one stops the
# configure step with the updater's own message, and so does an unverified one (unsigned, or
# without a manifest) unless allowed.
# Usage: release_configure_test.sh CMAKE CLI EXPORT TEST-PUB TEST-KEY CHECKER-BUILD-DIR
set -u
CMAKE=$1
CLI=$(realpath "$2")
EXPORT=$(realpath "$3")
PUB=$(realpath "$4" 2>/dev/null)
KEY=$(realpath "$5" 2>/dev/null)
CHECKER=$6
SCRIPT=$(dirname "$(realpath "$0")")/verify_release_dir.cmake
command -v minisign >/dev/null && [ -s "$PUB" ] || { echo "skip: no minisign or test key"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# check NAME WANT-STATUS TEXT DIR [-D...]: the configure-time check of DIR.
check() {
  local name=$1 want=$2 text=$3 dir=$4
  shift 4
  "$CMAKE" -DDIR="$dir" -DCHECKER="$CHECKER" -DKEY="$PUB" "$@" -P "$SCRIPT" >"$work/out.txt" 2>&1
  local status=$?
  local ended=0
  [ $status = 0 ] || ended=1
  # CMake wraps long messages at blanks.
  if [ "$ended" = "$want" ] && tr -s ' \n' ' ' <"$work/out.txt" | grep -qF -- "$text"; then
    echo "ok   $name"
  else
    echo "FAIL $name (status $status)"
    tail -5 "$work/out.txt" | sed 's/^/     /'
    failures=$((failures + 1))
  fi
}

mkdir "$work/good"
"$EXPORT" "$work/good" >/dev/null
"$CLI" firmware manifest "$work/good" --version 7.0 --model 0x57 --model 0x61 >/dev/null
minisign -S -W -s "$KEY" -m "$work/good/manifest.json" </dev/null >/dev/null
check "a signed release passes" 0 "Firmware release verified: release 7.0 for model 0x57, 0x61, signed by key" "$work/good"

cp -r "$work/good" "$work/flip"
printf 'X' | dd of="$work/flip/133.bin" bs=1 seek=5 conv=notrunc status=none
check "a changed image stops it" 1 "flip/133.bin: SHA-256" "$work/flip"

cp -r "$work/good" "$work/unsigned" && rm "$work/unsigned/manifest.json.minisig"
check "an unsigned release stops it" 1 "FEN_FIRMWARE_ALLOW_UNSIGNED=ON" "$work/unsigned"
check "an unsigned release passes when allowed" 0 "unsigned" "$work/unsigned" \
  -DFEN_FIRMWARE_ALLOW_UNSIGNED=ON

mkdir "$work/bare" && cp "$work/good/"*.bin "$work/bare/"
check "a folder without a manifest stops it" 1 "content is unverified; a release that is not signed, or has no manifest, is embedded only with -DFEN_FIRMWARE_ALLOW_UNSIGNED=ON" "$work/bare"
check "a folder without a manifest passes when allowed" 0 "content is unverified" "$work/bare" \
  -DFEN_FIRMWARE_ALLOW_UNSIGNED=ON
cp -r "$work/bare" "$work/dangling" && ln -s gone.json "$work/dangling/manifest.json"
check "a dangling link in the manifest's place stops it" 1 "manifest.json is a symbolic link" "$work/dangling" \
  -DFEN_FIRMWARE_ALLOW_UNSIGNED=ON

[ $failures = 0 ] || { echo "$failures failed"; exit 1; }
echo "all passed"
