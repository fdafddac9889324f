#!/usr/bin/env bash
# The Windows build: cross-compiles everything with MinGW-w64 (the desktop program as its Win32
# front end) and runs its tests under Wine. libsodium is built from Debian's source of it,
# fetched once into a cache outside the build folder and built there once too. MIDI is WinMM's
# own: nothing to fetch.
#   scripts/windows-test.sh [BUILD_DIR]       (default: build-win)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${1:-build-win}
# The build folder as an absolute path: the Wine prefix, the emulator and the checks below run
# from other folders.
if [ "$BUILD" != --fetch-only ]; then BUILD=$(realpath -m "$BUILD"); fi
CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/fenupdator
JOBS=$(nproc)
WERROR=OFF
if [ "${CI:-}" = "true" ]; then WERROR=ON; fi

# Debian sources fetched once into $CACHE: ensure_deb_src and debian_source.
# shellcheck source=lib/debian-source.sh
source "$PWD/scripts/lib/debian-source.sh"

# libsodium for MinGW-w64, static, built once from its source by cmake/windows/libsodium into a
# prefix in the cache named after that recipe, the source's version and the compiler; prints
# the prefix. Some seconds, the first time.
sodium_prefix() {
  local source recipe key prefix
  source=$(debian_source libsodium src/libsodium/include/sodium.h)
  recipe=$PWD/cmake/windows/libsodium
  key=$( (cat "$recipe/CMakeLists.txt" "$PWD/cmake/mingw-w64-x86_64.cmake"
    sed -n 1p "$source/debian/changelog"
    x86_64-w64-mingw32-gcc-posix -dumpfullversion) | sha256sum | cut -c1-12)
  prefix=$CACHE/libsodium-mingw-$key
  if [ -f "$prefix/lib/libsodium.a" ]; then
    echo "$prefix"
    return
  fi
  local work
  work=$(mktemp -d "$CACHE/libsodium-build.XXXXXX")
  local t0=$SECONDS
  {
    cmake -S "$recipe" -B "$work/build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
      -DFEN_SODIUM_SOURCE="$source" -DCMAKE_INSTALL_PREFIX="$work/prefix" </dev/null
    cmake --build "$work/build" -j "$JOBS" </dev/null
    cmake --install "$work/build" </dev/null
  } >"$work/log.txt" 2>&1 || {
    cat "$work/log.txt" >&2
    echo "windows-test: building libsodium for MinGW-w64 failed (log above)" >&2
    exit 1
  }
  rm -rf "$prefix"
  mv "$work/prefix" "$prefix"
  rm -rf "$work"
  echo "windows-test: libsodium for MinGW-w64 built in $((SECONDS - t0)) s into $prefix" >&2
  echo "$prefix"
}

if [ "${1:-}" = "--fetch-only" ]; then
  debian_source libsodium src/libsodium/include/sodium.h
  exit 0
fi

SODIUM_PREFIX=$(sodium_prefix)

# Wine's prefix lives in the build folder; its sound driver is switched off (no ALSA here, and
# it would only print about that) and its own messages are not wanted.
export WINEPREFIX=$BUILD/wine-prefix
export WINEDLLOVERRIDES=winealsa.drv=d
export WINEDEBUG=-all

# A Wine that starts for the first time inside a parallel test run can hang: its server is
# started and the prefix made here, with nothing of it on the terminal, and stopped on exit.
stop_wine() { wineserver -k </dev/null >/dev/null 2>&1 || true; }
trap stop_wine EXIT
start=$(date +%s)
# A persistent server first (it refuses to start beside a running one), then the first start,
# which makes the prefix (some seconds).
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1
echo "windows-test: Wine ready after $(($(date +%s) - start)) s"

# --- The desktop program (Win32): its window tests need a display. ----------------------------
# shellcheck source=lib/windows-desktop.sh
source "$PWD/scripts/lib/windows-desktop.sh"
start_virtual_display
# --- end of the desktop program's block --------------------------------------------------------

cmake -S . -B "$BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_CROSSCOMPILING_EMULATOR=wine \
  -DCMAKE_BUILD_TYPE=Release \
  -DFEN_SODIUM_PREFIX="$SODIUM_PREFIX" \
  -DFEN_BUILD_GUI=OFF -DFEN_BUILD_BENCH=OFF -DFEN_WERROR=$WERROR </dev/null
cmake --build "$BUILD" -j "$JOBS" </dev/null
(cd "$BUILD" && ctest --output-on-failure -j "$JOBS" --timeout 300 </dev/null)

# The command-line updater as a user runs it on Windows: a whole update against the built-in
# simulated device, and a listing that says plainly that no device is there (Wine has none).
# Paths as Windows has them: the programs run from a drive of their own, D: (the work folder),
# with Z:, Wine's drive for the whole POSIX tree, taken away meanwhile, so that a POSIX path
# the program makes or takes (a /dev/null, a /tmp) fails here as it does on Windows.
work=$(mktemp -d)
cp "$BUILD"/tools/cli/fenupdator-cli.exe "$BUILD"/tools/cli/fenupdator-cli-test-key.exe "$work/"
drives=$WINEPREFIX/dosdevices
z_drive=$(readlink "$drives/z:" || true)
restore_drives() {
  rm -f "$drives/d:"
  if [ -n "$z_drive" ] && [ ! -e "$drives/z:" ]; then ln -s "$z_drive" "$drives/z:"; fi
}
trap 'restore_drives; stop_wine' EXIT
rm -f "$drives/z:" "$drives/d:"
ln -s "$work" "$drives/d:"
CLI='D:\fenupdator-cli.exe'
failures=0
check() {  # check NAME WANT-STATUS WANT-TEXT -- ARGS...
  local name=$1 want_status=$2 want_text=$3
  shift 4
  local status=0
  (cd "$work" && wine "$CLI" "$@" >out.txt 2>err.txt </dev/null) || status=$?
  if [ "$status" = "$want_status" ] &&
    { [ -z "$want_text" ] || cat "$work/out.txt" "$work/err.txt" | tr -d '\r' | grep -qF "$want_text"; }; then
    echo "ok   $name"
  else
    echo "FAIL $name: status $status (want $want_status)"
    tr -d '\r' <"$work/out.txt" | tail -5 | sed 's/^/     out: /'
    tr -d '\r' <"$work/err.txt" | tail -5 | sed 's/^/     err: /'
    failures=$((failures + 1))
  fi
}
check "update --simulate" 0 "Version update completed." -- update --simulate --instant
check "list without a device" 0 "No MIDI device found" -- list
check "update refuses placeholder images" 2 "placeholder firmware images" -- update
check "bad arguments" 2 "" -- update --simulate --instance 21
check "update --all on a console without POSIX paths" 0 "2 of 2 devices updated" -- \
  update --all --simulate-devices 2 --instant
check "a record on a Windows path" 0 "Version update completed." -- \
  update --simulate --instant --record records.jsonl
grep -q '"outcome":"completed"' "$work/records.jsonl" || {
  echo "FAIL a record on a Windows path: records.jsonl holds no completed run"
  failures=$((failures + 1))
}
check "a POSIX path is no path on Windows" 2 "cannot open /tmp/fen-record.jsonl" -- \
  update --simulate --instant --record /tmp/fen-record.jsonl

# Names beyond the ANSI code page: the arguments are read from the wide command line and the
# files opened with the wide calls, so a folder named in Japanese is found on a Windows whose
# ANSI code page cannot spell it (Wine's here is 1252).
mkdir "$work/リリース"
cp "$BUILD"/src/firmware/placeholder_firmware/{129,133,136,137}.bin "$work/リリース/"
check "firmware manifest in a folder named in Japanese" 0 "" -- \
  firmware manifest リリース --version 3.1.4 --model 0x57
[ -s "$work/リリース/manifest.json" ] || {
  echo "FAIL firmware manifest in a folder named in Japanese: no manifest.json written"
  failures=$((failures + 1))
}
check "firmware verify in a folder named in Japanese" 0 "3.1.4" -- \
  firmware verify リリース --allow-unsigned
# A manifest made again drops the signature of the one it replaces, by the folder's wide name.
echo stale >"$work/リリース/manifest.json.minisig"
check "firmware manifest --force in a folder named in Japanese" 0 "" -- \
  firmware manifest リリース --version 3.1.5 --model 0x57 --force
[ ! -e "$work/リリース/manifest.json.minisig" ] || {
  echo "FAIL firmware manifest --force in a folder named in Japanese: the old signature is left"
  failures=$((failures + 1))
}

# A signed release on Windows: a manifest made by the updater, signed by the minisign tool here
# with the build's test key, verified by the updater and flashed into the simulated device; a
# flipped bit in an image is refused with the bad-firmware status.
# The installed program trusts no test key; its copy fenupdator-cli-test-key does.
KEY="$BUILD/test-release-key/test-release.key"
if command -v minisign >/dev/null && [ -s "$KEY" ]; then
  CLI='D:\fenupdator-cli-test-key.exe'
  mkdir "$work/release"
  cp "$BUILD"/src/firmware/placeholder_firmware/{129,133,136,137}.bin "$work/release/"
  check "firmware manifest" 0 "" -- firmware manifest release --version 3.1.4 --model 0x57 --model 0x61
  minisign -S -W -s "$KEY" -m "$work/release/manifest.json" -t "release 3.1.4" </dev/null >/dev/null
  check "firmware verify of minisign's signature" 0 \
    "Firmware release 3.1.4 for model 0x57, 0x61, signed by key" -- firmware verify release
  check "update --simulate from a signed release" 0 "Firmware release 3.1.4" -- \
    update --simulate --instant --timeouts short --firmware release
  cp -r "$work/release" "$work/flipped"
  byte=$(od -An -tu1 -j 77 -N1 "$work/flipped/137.bin" | tr -d ' ')
  printf "\\$(printf '%03o' $((byte ^ 4)))" |
    dd of="$work/flipped/137.bin" bs=1 seek=77 conv=notrunc status=none
  check "firmware verify refuses a flipped bit" 2 "137.bin: SHA-256" -- firmware verify flipped
  CLI='D:\fenupdator-cli.exe'
  check "the installed program does not trust the test key" 2 "which this build does not trust" -- \
    firmware verify release
else
  echo "FAIL signed release: minisign or the build's test key ($KEY) is missing"
  failures=$((failures + 1))
fi
restore_drives
rm -rf "$work"

# --- The desktop program (Win32): the release zip, signed with a throwaway certificate. -------
check_windows_release "$BUILD"
# --- end of the desktop program's block --------------------------------------------------------

if [ "$failures" != 0 ]; then
  echo "windows-test: $failures command-line check(s) failed" >&2
  exit 1
fi
echo "windows-test: done in $(($(date +%s) - start)) s"
