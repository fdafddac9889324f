# The desktop program's part of scripts/windows-test.sh: a virtual display for the window tests
# of the Win32 program (tests/win32), and the check of the Windows release zip with a
# throwaway code-signing certificate.

# Starts Xvfb on a free display, exports DISPLAY, and stops it (and Wine) on exit.
start_virtual_display() {
  local n
  for n in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break
  done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  FEN_XVFB_PID=$!
  export DISPLAY=":$n"
  local i
  for i in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    sleep 0.1
  done
  trap 'stop_wine; kill "$FEN_XVFB_PID" 2>/dev/null || true' EXIT
  echo "windows-test: virtual display $DISPLAY for the desktop program's window tests"
}

# Makes the release zip signed with a certificate made here, and checks its contents and both
# signatures. Counts a failure in $failures.
check_windows_release() {
  local build=$1 dir
  dir=$(mktemp -d)
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=fenupdator test signer" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$dir/key.pem" -out "$dir/cert.pem" \
    >/dev/null 2>&1
  if ! FEN_SIGN_CERT=$dir/cert.pem FEN_SIGN_KEY=$dir/key.pem \
    bash scripts/windows-release.sh "$build" "$dir" >"$dir/log.txt" 2>&1; then
    echo "FAIL windows release zip"
    sed 's/^/     /' "$dir/log.txt"
    failures=$((failures + 1))
    rm -rf "$dir"
    return
  fi
  local zip
  zip=$(ls "$dir"/fenupdator-*-windows-x64.zip)
  (cd "$dir" && unzip -q "$zip")
  local top=${zip%.zip}
  local ok=1 exe
  for f in fenupdator.exe fenupdator-cli.exe README.md LICENCE.txt; do
    [ -f "$top/$f" ] || { echo "FAIL windows release zip: $f missing"; ok=0; }
  done
  case $zip in
    *demo*) [ -f "$top/PLACEHOLDER-FIRMWARE.txt" ] || { echo "FAIL demo zip without its note"; ok=0; } ;;
  esac
  for exe in fenupdator.exe fenupdator-cli.exe; do
    if ! osslsigncode verify -CAfile "$dir/cert.pem" -in "$top/$exe" >"$dir/verify.txt" 2>&1; then
      echo "FAIL $exe: signature not verified"
      sed 's/^/     /' "$dir/verify.txt" | tail -5
      ok=0
    fi
  done
  # A signed program still runs: the signature sits outside what Windows loads.
  if ! (cd "$dir" && wine "$top/fenupdator-cli.exe" --version </dev/null 2>&1 | tr -d '\r' |
    grep -q "command-line updater"); then
    echo "FAIL signed fenupdator-cli.exe does not run"
    ok=0
  fi
  # A changed byte breaks the signature.
  printf 'x' | dd of="$top/fenupdator.exe" bs=1 seek=4096 conv=notrunc status=none
  if osslsigncode verify -CAfile "$dir/cert.pem" -in "$top/fenupdator.exe" >/dev/null 2>&1; then
    echo "FAIL a changed fenupdator.exe still verifies"
    ok=0
  fi
  if [ $ok = 1 ]; then
    echo "ok   windows release zip $(basename "$zip"), both programs signed and verified"
  else
    failures=$((failures + 1))
  fi
  rm -rf "$dir"
}
