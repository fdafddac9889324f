#!/usr/bin/env bash
# Runs the kernel test: Debian's stock kernel booted under qemu (TCG, no KVM needed) with a
# busybox initramfs holding this build's programs; inside, USB MIDI gadgets on the dummy USB
# controller enumerate through snd-usb-audio as the device would, and tests/kernel/vm_cases.sh
# updates them over the ALSA sequencer and over rawmidi. Each case prints PASS or FAIL on the
# serial console; this script exits non-zero when any failed or the VM did not finish.
#   kernel-test.sh BUILD_DIR [OUT_DIR]
# The kernel package is fetched once into FEN_KERNEL_CACHE (default
# ${XDG_CACHE_HOME:-~/.cache}/fenupdator/kernel) and kept there across builds; it is unpacked,
# never installed. FEN_KERNEL_CASES="seq rawmidi ..." runs only those cases.
# FEN_KERNEL_WINDOWS=WIN_BUILD_DIR runs the Windows build's updater under Wine instead (the
# wine cases; FEN_KERNEL_CASES="wine_ratios" for the performance ratios): the VM then mounts
# the host's /usr and /etc read-only over 9p and a Wine prefix made here, once, over an overlay.
set -euo pipefail

SKIP=77  # CTest's SKIP_RETURN_CODE
BUILD=$(realpath "${1:?usage: $0 BUILD_DIR [OUT_DIR]}")
OUT=$(realpath -m "${2:-$BUILD/kernel-test}")
HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(dirname "$HERE")
CACHE=${FEN_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/fenupdator/kernel}
VM_TIMEOUT=${FEN_KERNEL_VM_TIMEOUT:-600}

if ! command -v qemu-system-x86_64 >/dev/null 2>&1; then
  echo "qemu-system-x86_64 not installed (scripts/install-deps.sh installs it): skipped"
  exit $SKIP
fi
for tool in busybox depmod modprobe cpio dpkg-deb; do
  if ! command -v "$tool" >/dev/null 2>&1 && [ ! -x "/sbin/$tool" ] && [ ! -x "/usr/sbin/$tool" ]; then
    echo "FAIL $tool is missing (scripts/install-deps.sh installs it)"
    exit 1
  fi
done
export PATH=$PATH:/sbin:/usr/sbin
BUSYBOX=$(command -v busybox)
if ! file -L "$BUSYBOX" 2>/dev/null | grep -q "statically linked" && [ -x /bin/busybox ]; then
  BUSYBOX=/bin/busybox
fi

PROGRAMS=("$BUILD/tools/cli/fenupdator-cli" "$BUILD/tools/devsim/fen-devsim"
  "$BUILD/tools/rawmidi_floor/fen-rawmidi-floor" "$BUILD/tests/e2e/fen-export-firmware")
WINDOWS=${FEN_KERNEL_WINDOWS:+$(realpath "$FEN_KERNEL_WINDOWS")}
EXE=${WINDOWS:+$WINDOWS/tools/cli/fenupdator-cli.exe}
for p in "${PROGRAMS[@]}" $EXE; do
  [ -x "$p" ] || [ -f "$p" ] || {
    echo "FAIL $p is not built"
    exit 1
  }
done
if [ -n "$WINDOWS" ] && ! command -v wine >/dev/null 2>&1; then
  echo "FAIL wine is missing (scripts/install-deps.sh installs it)"
  exit 1
fi

# ---- The kernel package, fetched once ---------------------------------------------------------
mkdir -p "$CACHE"
package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -1 || true)
if [ -z "$package" ] && [ "$(id -u)" = 0 ] && [ -z "$(find "$CACHE" -maxdepth 1 -name '*.deb')" ]; then
  # A fresh machine whose package lists were never fetched.
  apt-get update -q >/dev/null 2>&1 || true
  package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -1 || true)
fi
if [ -z "$package" ]; then
  # apt knows no kernel (no package lists, no network): use what is cached.
  package=$(find "$CACHE" -maxdepth 1 -name 'linux-image-*-amd64_*.deb' -printf '%f\n' | sort | tail -1 | cut -d_ -f1)
fi
if [ -z "$package" ]; then
  echo "FAIL no kernel package known to apt (run apt-get update) and none cached in $CACHE"
  exit 1
fi
deb=$(find "$CACHE" -maxdepth 1 -name "${package}_*.deb" | sort | tail -1)
if [ -z "$deb" ]; then
  echo "fetching $package into $CACHE"
  # As root apt drops to its own user, who cannot write a private cache: fetched in a
  # temporary folder of that user's reach, then moved.
  fetch=$(mktemp -d)
  chmod 755 "$fetch"
  (cd "$fetch" && apt-get download -q "$package" >/dev/null 2>&1) || {
    rm -rf "$fetch"
    echo "FAIL apt-get download $package failed"
    exit 1
  }
  mv "$fetch"/*.deb "$CACHE"/
  rm -rf "$fetch"
  deb=$(find "$CACHE" -maxdepth 1 -name "${package}_*.deb" | sort | tail -1)
fi
version=${package#linux-image-}
tree=$CACHE/${package}.tree
if [ ! -e "$tree/.ready" ]; then
  rm -rf "$tree"
  mkdir -p "$tree"
  dpkg-deb -x "$deb" "$tree"
  # The package leaves module dependencies to the installer.
  depmod -b "$tree" -F "$tree/boot/System.map-$version" "$version"
  touch "$tree/.ready"
fi

# ---- The initramfs ----------------------------------------------------------------------------
rm -rf "$OUT"
mkdir -p "$OUT"
root=$OUT/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,fen,lib/modules,usr/share}
cp "$BUSYBOX" "$root/bin/busybox"
cp "${PROGRAMS[@]}" "$root/fen/"
# The programs' shared libraries at the paths they were found at, the loader included.
for lib in $(for p in "${PROGRAMS[@]}"; do ldd "$p"; done | grep -o '/[^ ]*' | sort -u); do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done
# alsa-lib reads its configuration before it opens any device.
mkdir -p "$root/usr/share/alsa"
cp -r /usr/share/alsa/alsa.conf /usr/share/alsa/cards /usr/share/alsa/ctl "$root/usr/share/alsa/" 2>/dev/null || true
# Modules in load order, each once: the dummy USB controller, the gadget side, USB MIDI and
# the sequencer with its rawmidi bridge.
modules=$OUT/modules.txt
: >"$modules"
extra_modules=""
# Under Wine: the host's /usr and /etc and the Wine prefix come over 9p, the prefix under an
# overlay that takes Wine's writes.
[ -n "$WINDOWS" ] && extra_modules="virtio_pci 9p 9pnet_virtio overlay"
for m in dummy_hcd libcomposite usb_f_midi snd-usb-audio snd-seq snd-seq-midi $extra_modules; do
  modprobe -d "$tree" -S "$version" --show-depends "$m" | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r ko; do
  cp "$ko" "$root/lib/modules/"
  echo "$(basename "$ko")" >>"$modules"
done
cp "$modules" "$root/modules.txt"
cp "$SRC/tests/kernel/vm_init.sh" "$root/init"
cp "$SRC/tests/kernel/vm_cases.sh" "$root/fen/vm_cases.sh"
cp "$SRC/tests/e2e/poll_lib.sh" "$root/fen/poll_lib.sh"
chmod +x "$root/init"
echo "${FEN_KERNEL_CASES:-}" >"$root/fen/cases.txt"
qemu_extra=()
cpu=max
memory=768
if [ -n "$WINDOWS" ]; then
  cp "$EXE" "$root/fen/"
  echo "${FEN_KERNEL_CASES:-wine}" >"$root/fen/cases.txt"
  # A Wine prefix, made once on the host (some seconds here, minutes under emulation).
  prefix=$CACHE/wine-prefix-$(wine --version 2>/dev/null | tr -c 'A-Za-z0-9.\n-' _)
  if [ ! -e "$prefix/.ready" ]; then
    rm -rf "$prefix"
    mkdir -p "$prefix"
    echo "making a Wine prefix in $prefix"
    WINEPREFIX=$prefix WINEDEBUG=-all wine cmd /c exit </dev/null >/dev/null 2>&1
    WINEPREFIX=$prefix wineserver -w </dev/null >/dev/null 2>&1 || true
    touch "$prefix/.ready"
  fi
  for share in usr:/usr etc:/etc wineprefix:$prefix; do
    qemu_extra+=(-virtfs "local,path=${share#*:},mount_tag=host${share%%:*},security_model=none,readonly=on")
  done
  # Wine's return to user mode faults under SMAP as emulated.
  cpu=max,-smap
  memory=1280
fi
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$OUT/initramfs.gz"

# ---- The run ----------------------------------------------------------------------------------
console=$OUT/console.log
echo "booting $package under qemu (TCG); console in $console"
started=$(date +%s)
set +e
timeout "$VM_TIMEOUT" qemu-system-x86_64 -accel tcg -machine q35 -cpu $cpu -smp 2 -m $memory \
  "${qemu_extra[@]}" \
  -nographic -no-reboot -monitor none -serial stdio \
  -kernel "$tree/boot/vmlinuz-$version" -initrd "$OUT/initramfs.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" </dev/null | sed -u 's/\r$//' |
  tee "$console" | grep --line-buffered -E '^(PASS|FAIL|INFO|FLOOR|TIME) '
qemu_status=${PIPESTATUS[0]}
set -e
echo "VM ran $(($(date +%s) - started)) s"
if [ "$qemu_status" = 124 ]; then
  echo "FAIL the VM did not finish within $VM_TIMEOUT s"
  exit 1
fi
if ! grep -q '^FEN-KERNEL-DONE' "$console"; then
  echo "FAIL the VM ended before its cases did (see $console)"
  tail -20 "$console"
  exit 1
fi
passed=$(grep -c '^PASS ' "$console" || true)
failed=$(grep -c '^FAIL ' "$console" || true)
echo "$passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
