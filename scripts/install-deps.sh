#!/usr/bin/env bash
# Installs what the build, the tests and the main job need on Debian 12. Safe to run again:
# it asks apt only for what is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git ca-certificates
  libgtest-dev libgmock-dev googletest libbenchmark-dev libcli11-dev zlib1g-dev
  librtmidi-dev libjack-jackd2-dev jackd2
  # alsa-lib for the rawmidi backend
  libasound2-dev
  # the kernel test: a Debian kernel booted in qemu with a busybox initramfs
  qemu-system-x86 busybox-static kmod cpio
  qt6-base-dev qt6-base-dev-tools libgl-dev
  clang libclang-rt-14-dev clang-format
  xvfb xauth fonts-dejavu-core xdotool
  # The Debian package: manual pages, dependencies, and the checks lintian and the validators make
  scdoc groff-base dpkg-dev lintian desktop-file-utils appstream
  # JSON of the command-line tool's --json lines, the simulated device's report, the release manifest
  nlohmann-json3-dev
  # SHA-256, Ed25519 and BLAKE2b of the firmware release's manifest and its minisign signature
  libsodium-dev
  # makes the test release key at configure time and the signatures the release tests check
  minisign
  # The Windows build (scripts/windows-test.sh): MinGW-w64 with posix threads, Wine to run its
  # tests, zlib for the protocol tests, and dpkg-dev to unpack libsodium's source.
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64
  # The Windows desktop program: its icon made by a Python script, its release zip signed with
  # Authenticode (and checked with a certificate made by openssl)
  python3 osslsigncode openssl zip unzip
  # validates the command-line tool's JSON events against their schema (tests/cli)
  python3-jsonschema
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# jackd2 asks whether to enable real-time priority; answer it up front.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -q
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
