#!/usr/bin/env bash
# The Debian-source helper of the build scripts on a machine that has never fetched a source:
# no deb-src entry, an apt that talks on standard output. What debian_source prints must be the
# unpacked folder alone, since the Windows build passes it to CMake as a path.
set -euo pipefail
LIB=${1:?usage: $0 scripts/lib/debian-source.sh}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/apt" "$work/cache"
printf 'Types: deb\nURIs: http://archive.invalid/debian\nSuites: bookworm bookworm-updates\nComponents: main\n' \
  >"$work/apt/debian.sources"

# A stand-in apt-get: sources are known only once the deb-src entry exists; `update` and
# `source` talk on standard output as the real one does.
cat >"$work/bin/apt-get" <<STUB
#!/bin/sh
case "\$1" in
  update) echo "Get:1 http://archive.invalid/debian bookworm InRelease [151 kB]"; echo "Reading package lists..." ;;
  source)
    if [ "\$2" = --print-uris ]; then [ -e "$work/apt/fenupdator-deb-src.sources" ]; exit; fi
    echo "Need to get 1 kB of source archives."; : >demo_1.0.dsc ;;
esac
STUB
cat >"$work/bin/dpkg-source" <<'STUB'
#!/bin/sh
echo "dpkg-source: info: extracting demo"
mkdir -p src && : >src/MARKER
STUB
chmod +x "$work/bin/apt-get" "$work/bin/dpkg-source"

failures=0
expect() {  # expect NAME WANT GOT
  if [ "$2" = "$3" ]; then echo "ok   $1"; else
    echo "FAIL $1: want '$2', got '$3'"
    failures=$((failures + 1))
  fi
}

run() {
  PATH="$work/bin:$PATH" APT_SOURCES_DIR="$work/apt" APT_SOURCES_LIST="$work/none" \
    CACHE="$work/cache" bash -c 'source "$1"; debian_source demo MARKER' _ "$LIB" 2>"$work/err"
}
out=$(run)
expect "a first fetch prints the folder alone" "$work/cache/demo" "$out"
expect "the unpacked source is there" yes "$([ -f "$work/cache/demo/MARKER" ] && echo yes || echo no)"
expect "the deb-src entry names the machine's archive and first suite" \
  "URIs: http://archive.invalid/debian|Suites: bookworm" \
  "$(grep -E '^(URIs|Suites):' "$work/apt/fenupdator-deb-src.sources" | paste -sd'|')"
expect "apt's progress went to standard error" yes "$(grep -q 'Get:1' "$work/err" && echo yes || echo no)"
out=$(run)
expect "a cached source prints the same folder" "$work/cache/demo" "$out"

[ "$failures" = 0 ]
