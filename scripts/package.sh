#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks it as Debian's tools do: lintian
# (no errors), desktop-file-validate and appstreamcli on the installed files; then installs it
# into a scratch root with dpkg -x, runs the installed command-line updater from there, and
# checks that it trusts no release key whose secret key lies in a build folder.
# Usage: scripts/package.sh [BUILD_DIR]
# Without BUILD_DIR it builds the product in build-package: no tests, no benchmarks, trusting
# only the keys given with FEN_RELEASE_PUBLIC_KEYS (and embedding FEN_FIRMWARE_DIR if given),
# both taken from the environment.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-package}

if [ ! -f "$BUILD/CPackConfig.cmake" ]; then
  product=(-DFEN_BUILD_TESTS=OFF -DFEN_BUILD_BENCH=OFF -DFEN_TEST_RELEASE_KEY=OFF
           "-DFEN_RELEASE_PUBLIC_KEYS=${FEN_RELEASE_PUBLIC_KEYS:-}")
  [ -z "${FEN_FIRMWARE_DIR:-}" ] || product+=("-DFEN_FIRMWARE_DIR=$FEN_FIRMWARE_DIR")
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${product[@]}"
fi
cmake --build "$BUILD" -j "$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$BUILD" && cpack -G DEB -B "$work/out" >"$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/fenupdator_*_amd64.deb)
version=$(dpkg-deb -f "$deb" Version)
echo "Package: $(basename "$deb")"
dpkg-deb -f "$deb" Depends | sed 's/^/Depends: /'

# lintian says that it runs as root (CI does); what it finds goes to the log either way.
lintian --fail-on error --info "$deb" >"$work/lintian.txt" 2>&1 || lintian_status=$?
grep -v "running with root privileges" "$work/lintian.txt" || true
[ "${lintian_status:-0}" -eq 0 ] || { echo "lintian reports errors"; exit 1; }

root=$work/root
dpkg -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/fenupdator.desktop"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml
for page in "$root"/usr/share/man/man1/*.1.gz; do
  # groff's own warnings (-k: the pages are UTF-8, as man-db reads them) about the page, if any, fail the check.
  warnings=$(zcat "$page" | groff -k -man -Tutf8 -ww -z 2>&1)
  [ -z "$warnings" ] || { echo "$(basename "$page"): $warnings"; exit 1; }
done
bash -n "$root/usr/share/bash-completion/completions/fenupdator-cli"

# The installed programs, from the scratch root, in a scratch working folder.
cli=$root/usr/bin/fenupdator-cli
"$cli" --version | tee "$work/version.txt"
grep -q "version $version\$" "$work/version.txt" ||
  { echo "fenupdator-cli --version does not name the package's version $version"; exit 1; }
"$root/usr/bin/fen-devsim" --version | grep -q "version $version\$" ||
  { echo "fen-devsim --version does not name the package's version $version"; exit 1; }
# A run with a CRC error that is retried: it completes, and TEST_LOG.txt (kept only where it
# exists) holds the one error line.
mkdir "$work/run" && : >"$work/run/TEST_LOG.txt"
(cd "$work/run" && "$cli" update --simulate --pace instant --fault crc@5) >"$work/update.txt" 2>&1 ||
  { cat "$work/update.txt"; echo "the installed fenupdator-cli update --simulate failed"; exit 1; }
tail -n 1 "$work/update.txt"
grep -q "Version update completed." "$work/update.txt"
[ "$(cut -c25- "$work/run/TEST_LOG.txt")" = "(CRC)Transfer error occurred." ] ||
  { cat "$work/run/TEST_LOG.txt"; echo "TEST_LOG.txt does not hold the run's one CRC error"; exit 1; }

# A key whose secret lies in a build folder (the tests' key pair, say) is not a vendor's: a
# manifest signed with each is refused by the installed updater as signed by a key it does not
# trust. Only small files are looked at; an encrypted key cannot sign here and is left out.
checked=0
while IFS= read -r key; do
  rm -rf "$work/signed" && mkdir "$work/signed" && echo '{}' >"$work/signed/manifest.json"
  "$cli" firmware sign "$work/signed" --secret-key "$key" >/dev/null 2>&1 || continue
  verdict=$("$cli" firmware verify "$work/signed" 2>&1 || true)
  if [[ $verdict != *"which this build does not trust"* ]]; then
    echo "the package trusts the release key whose secret key is $key"
    exit 1
  fi
  checked=$((checked + 1))
done < <(find "$BUILD" build* -type f -size -4k -print0 2>/dev/null |
  xargs -0 -r grep -lsxE -m1 "untrusted comment: minisign (encrypted )?secret key" || true)
echo "The package trusts none of the $checked release keys whose secret key is in a build folder"
cp "$deb" "$BUILD/"
echo "Package checked: $BUILD/$(basename "$deb")"
