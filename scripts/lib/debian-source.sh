# Sourced by the scripts that build from Debian's source packages (the Windows build).
#   debian_source PACKAGE MARKER   prints the folder of PACKAGE's unpacked source, and nothing else
# Needs CACHE set. A deb-src entry is added for the machine's own archive when apt has none.
# APT_SOURCES_DIR and APT_SOURCES_LIST name apt's configuration (the tests point them elsewhere).
APT_SOURCES_DIR=${APT_SOURCES_DIR:-/etc/apt/sources.list.d}
APT_SOURCES_LIST=${APT_SOURCES_LIST:-/etc/apt/sources.list}
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# A deb-src entry for the archive and suite the machine already installs from, so that
# `apt-get source` finds the same libsodium as the installed one.
ensure_deb_src() {
  if apt-get source --print-uris libsodium >/dev/null 2>&1; then return; fi
  local uri suite
  uri=$(sed -n 's/^URIs:[[:space:]]*//p' "$APT_SOURCES_DIR/debian.sources" 2>/dev/null | head -1)
  suite=$(sed -n 's/^Suites:[[:space:]]*//p' "$APT_SOURCES_DIR/debian.sources" 2>/dev/null |
    head -1 | awk '{print $1}')
  if [ -z "$uri" ] && [ -f "$APT_SOURCES_LIST" ]; then
    read -r uri suite < <(awk '$1 == "deb" && $2 !~ /^\[/ {print $2, $3; exit}' "$APT_SOURCES_LIST")
  fi
  if [ -z "$uri" ] || [ -z "$suite" ]; then
    echo "debian-source: cannot tell the machine's Debian archive; add a deb-src line by hand" >&2
    exit 1
  fi
  printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
    "$uri" "$suite" /usr/share/keyrings/debian-archive-keyring.gpg |
    $SUDO tee "$APT_SOURCES_DIR/fenupdator-deb-src.sources" >/dev/null
  # This runs inside $(debian_source ...), whose standard output is a path: apt's progress goes
  # to standard error.
  $SUDO apt-get update -q >&2
}

# The Debian source of PACKAGE (its patches applied), unpacked once into $CACHE/PACKAGE; prints
# that folder. MARKER is a file that the unpacked source holds.
debian_source() {  # debian_source PACKAGE MARKER
  local package=$1 marker=$2
  if [ -f "$CACHE/$package/$marker" ]; then
    echo "$CACHE/$package"
    return
  fi
  ensure_deb_src
  mkdir -p "$CACHE"
  local work
  work=$(mktemp -d "$CACHE/fetch.XXXXXX")
  (cd "$work" && apt-get source -q --download-only "$package" >&2 &&
    dpkg-source -x --no-check ./*.dsc src >&2)
  rm -rf "${CACHE:?}/$package"
  mv "$work/src" "$CACHE/$package"
  rm -rf "$work"
  echo "$CACHE/$package"
}
