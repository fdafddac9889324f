#!/usr/bin/env bash
# The desktop program answers --version and --help on the terminal and opens no window: with no
# display to open one on, a window would fail to start.
set -u
PROGRAM=${1:?usage: $0 PROGRAM}
failures=0
for arg in --version --help; do
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb timeout 10 "$PROGRAM" "$arg" 2>&1 </dev/null)
  status=$?
  case $arg in
    --version) want="(desktop program), version" ;;
    --help) want="Usage: fenupdator" ;;
  esac
  if [ "$status" = 0 ] && grep -qF -e "$want" <<<"$out"; then
    echo "ok   $arg"
  else
    echo "FAIL $arg: status $status: $out"
    failures=$((failures + 1))
  fi
done
[ "$failures" = 0 ]
