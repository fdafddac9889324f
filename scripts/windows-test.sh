#!/usr/bin/env bash
# The Windows build: cross-compiles everything but the desktop program with MinGW-w64 and runs
# its tests under Wine. RtMidi's WinMM backend is built from Debian's source of RtMidi, fetched
# once into a cache outside the build folder.
#   scripts/windows-test.sh [BUILD_DIR]       (default: build-win)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${1:-build-win}
CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/fenupdator
JOBS=$(nproc)
WERROR=OFF
if [ "${CI:-}" = "true" ]; then WERROR=ON; fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# A deb-src entry for the archive and suite the machine already installs from, so that
# `apt-get source` finds the same RtMidi as the installed one.
ensure_deb_src() {
  if apt-get source --print-uris rtmidi >/dev/null 2>&1; then return; fi
  local uri suite
  uri=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
  suite=$(sed -n 's/^Suites:[[:space:]]*//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null |
    head -1 | awk '{print $1}')
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    read -r uri suite < <(awk '$1 == "deb" && $2 !~ /^\[/ {print $2, $3; exit}' /etc/apt/sources.list)
  fi
  if [ -z "$uri" ] || [ -z "$suite" ]; then
    echo "windows-test: cannot tell the machine's Debian archive; add a deb-src line by hand" >&2
    exit 1
  fi
  printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
    "$uri" "$suite" /usr/share/keyrings/debian-archive-keyring.gpg |
    $SUDO tee /etc/apt/sources.list.d/fenupdator-deb-src.sources >/dev/null
  $SUDO apt-get update -q
}

# RtMidi's source, unpacked once into the cache; prints its folder.
rtmidi_source() {
  local dir
  dir=$(find "$CACHE" -maxdepth 2 -name RtMidi.cpp -printf '%h\n' 2>/dev/null | head -1 || true)
  if [ -n "$dir" ]; then
    echo "$dir"
    return
  fi
  ensure_deb_src
  mkdir -p "$CACHE"
  local work
  work=$(mktemp -d "$CACHE/fetch.XXXXXX")
  (cd "$work" && apt-get source -q --download-only rtmidi >&2 &&
    dpkg-source -x --no-check ./*.dsc src >&2)
  mv "$work/src" "$CACHE/rtmidi"
  rm -rf "$work"
  echo "$CACHE/rtmidi"
}

if [ "${1:-}" = "--fetch-only" ]; then
  rtmidi_source
  exit 0
fi

RTMIDI_SOURCE=$(rtmidi_source)

# Wine's prefix lives in the build folder; its sound driver is switched off (no ALSA here, and
# it would only print about that) and its own messages are not wanted.
export WINEPREFIX=$PWD/$BUILD/wine-prefix
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

cmake -S . -B "$BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_CROSSCOMPILING_EMULATOR=wine \
  -DCMAKE_BUILD_TYPE=Release \
  -DFEN_RTMIDI_SOURCE="$RTMIDI_SOURCE" \
  -DFEN_BUILD_GUI=OFF -DFEN_BUILD_BENCH=OFF -DFEN_WERROR=$WERROR </dev/null
cmake --build "$BUILD" -j "$JOBS" </dev/null
(cd "$BUILD" && ctest --output-on-failure -j "$JOBS" --timeout 300 </dev/null)

# The command-line updater as a user runs it on Windows: a whole update against the built-in
# simulated device, and a listing that says plainly that no device is there (Wine has none).
CLI="$PWD/$BUILD/tools/cli/fenupdator-cli.exe"
work=$(mktemp -d)
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
rm -rf "$work"
if [ "$failures" != 0 ]; then
  echo "windows-test: $failures command-line check(s) failed" >&2
  exit 1
fi
echo "windows-test: done in $(($(date +%s) - start)) s"
