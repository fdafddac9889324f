#!/usr/bin/env bash
# The Windows release: fenupdator-<version>-windows-x64.zip with fenupdator.exe,
# fenupdator-cli.exe, the README and the licence text, from a build made by
# scripts/windows-test.sh. When FEN_SIGN_CERT and FEN_SIGN_KEY name a vendor's code-signing
# certificate and key (PEM; FEN_SIGN_PASS its pass phrase, if any), both programs are signed
# with Authenticode (osslsigncode) and time-stamped when FEN_SIGN_TIMESTAMP names a server.
# A demo build (placeholder firmware images) says so in its zip, as its About box does.
#   scripts/windows-release.sh [BUILD_DIR [OUT_DIR]]     (defaults: build-win, BUILD_DIR)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=$(realpath -m "${1:-build-win}")
OUT=$(realpath -m "${2:-$BUILD}")
version=$(sed -n 's/.*kPackageVersion = "\(.*\)";.*/\1/p' "$BUILD/generated/package_version.h")
if [ -z "$version" ]; then
  echo "windows-release: no version in $BUILD/generated/package_version.h" >&2
  exit 1
fi
for exe in src/app/fenupdator.exe tools/cli/fenupdator-cli.exe; do
  if [ ! -f "$BUILD/$exe" ]; then
    echo "windows-release: $BUILD/$exe is missing (build it with scripts/windows-test.sh)" >&2
    exit 1
  fi
done

name=fenupdator-$version-windows-x64
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$name"
cp "$BUILD/src/app/fenupdator.exe" "$BUILD/tools/cli/fenupdator-cli.exe" "$stage/$name/"
sed 's/$/\r/' README.md >"$stage/$name/README.md"
sed 's/$/\r/' packaging/debian/copyright >"$stage/$name/LICENCE.txt"
case $version in
  *demo*)
    printf '%s\r\n' \
      "This is a demo build: the firmware images inside fenupdator.exe and fenupdator-cli.exe" \
      "are placeholders, not a firmware release. A device updated with them will not work until" \
      "it is updated from a firmware release." >"$stage/$name/PLACEHOLDER-FIRMWARE.txt"
    ;;
esac

if [ -n "${FEN_SIGN_CERT:-}" ] || [ -n "${FEN_SIGN_KEY:-}" ]; then
  if [ ! -s "${FEN_SIGN_CERT:-}" ] || [ ! -s "${FEN_SIGN_KEY:-}" ]; then
    echo "windows-release: FEN_SIGN_CERT and FEN_SIGN_KEY must both name readable files" >&2
    exit 1
  fi
  for exe in fenupdator.exe fenupdator-cli.exe; do
    args=(sign -certs "$FEN_SIGN_CERT" -key "$FEN_SIGN_KEY" -h sha256
          -n "TARN PL-33QV v2.00 Updater" -in "$stage/$name/$exe" -out "$stage/$exe.signed")
    if [ -n "${FEN_SIGN_PASS:-}" ]; then args+=(-pass "$FEN_SIGN_PASS"); fi
    if [ -n "${FEN_SIGN_TIMESTAMP:-}" ]; then args+=(-ts "$FEN_SIGN_TIMESTAMP"); fi
    osslsigncode "${args[@]}" >/dev/null
    mv "$stage/$exe.signed" "$stage/$name/$exe"
  done
  echo "windows-release: signed fenupdator.exe and fenupdator-cli.exe"
fi

mkdir -p "$OUT"
rm -f "$OUT/$name.zip"
(cd "$stage" && zip -qrX "$OUT/$name.zip" "$name")
echo "windows-release: $OUT/$name.zip"
