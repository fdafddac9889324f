#!/usr/bin/env bash
# The manual pages and the bash completion against what the programs' --help says: every
# subcommand, option, listed option value and fault kind of one is in the other, both ways,
# so that neither can drift from the programs.
# Usage: docs_match_help.sh FENUPDATOR_CLI FEN_DEVSIM PACKAGING_SOURCE_DIR
set -uo pipefail
CLI=$1 DEVSIM=$2 SRC=$3
MAN=$SRC/man
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Long options a --help text lists (the option column only, not "Excludes: --x" notes).
help_options() {
  awk '/^Options:/ {on = 1; next} /^[A-Z][a-z]+:/ {on = 0} on && /^  +-/ {print $1}' |
    tr ',' '\n' | grep -E '^--' | sort -u
}
# Values of options with a fixed set, as "--opt value" lines.
help_values() {
  awk '/^  +--[a-z-]+ [A-Z]+:\{/ {
         opt = $1; match($0, /\{[^}]*\}/); vals = substr($0, RSTART + 1, RLENGTH - 2)
         n = split(vals, v, ","); for (i = 1; i <= n; i++) print opt, v[i] }' | sort -u
}
help_subcommands() {
  awk '/^Subcommands:/ {on = 1; next} /^[A-Z][a-z]+:/ {on = 0} on && /^  +[a-z]/ {print $1}' | sort -u
}
# Fault kinds from fen-devsim's help: the indented lines after "Faults".
help_faults() {
  awk '/^Faults/ {on = 1; next} /^Examples/ {on = 0} on && /^  [a-z]/ {print $1}' |
    sed -E 's/[@=\[].*//' | sort -u
}

# Item heads of one section of a manual page source (from "# NAME" or "## NAME" to the
# next heading of either level), with the options or words they define.
man_section() {
  awk -v want="$2" '/^#/ {on = ($0 == want); next} on' "$1"
}
man_options() { grep -E '^\*' | grep -oE '\*--?[a-z][a-z0-9-]*\*' | tr -d '*' | grep -E '^--' | sort -u; }
man_heads() { grep -E '^\*[a-z]' | sed -E 's/^\*([a-z-]+).*/\1/' | sort -u; }

compare() { # WHAT EXPECTED ACTUAL
  local missing extra
  missing=$(comm -23 <(echo "$2") <(echo "$3"))
  extra=$(comm -13 <(echo "$2") <(echo "$3"))
  [ -z "$missing" ] || fail "$1: missing $(echo $missing)"
  [ -z "$extra" ] || fail "$1: not in --help: $(echo $extra)"
}

# The completion function's answer for a command line whose last word is being completed.
complete_words() {
  ( source "$SRC/completion/fenupdator-cli"
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMPREPLY=()
    compopt() { :; }
    case $1 in
      fen-devsim) _fen_devsim ;;
      *) _fenupdator_cli ;;
    esac
    printf '%s\n' "${COMPREPLY[@]}" ) | sort -u
}
no_help() { grep -vxE -- '--help|-h'; }

# Options, listed values and completion of one (sub)command: WORDS... as typed after the program.
check_command() {
  local help options
  help=$("$CLI" "$@" --help)
  options=$(echo "$help" | help_options)
  compare "fenupdator-cli(1) options of $*" "$(echo "$options" | no_help)" \
    "$(man_section "$MAN/fenupdator-cli.1.scd" "## Options of $*" | man_options)"
  compare "completion of fenupdator-cli $*'s options" "$options" \
    "$(complete_words fenupdator-cli "$@" --)"
  while read -r opt value; do
    [ -n "$opt" ] || continue
    grep -q -- "\*$value\*" "$MAN/fenupdator-cli.1.scd" || fail "fenupdator-cli(1) lacks $opt $value"
    complete_words fenupdator-cli "$@" "$opt" "" | grep -qx -- "$value" ||
      fail "completion of fenupdator-cli $* $opt lacks $value"
  done <<<"$(echo "$help" | help_values)"
}

# fenupdator-cli: the top level, each subcommand and theirs.
top_help=$("$CLI" --help)
subcommands=$(echo "$top_help" | help_subcommands)
[ -n "$subcommands" ] || fail "fenupdator-cli --help lists no subcommands"
all_subcommands=$subcommands
compare "fenupdator-cli(1) OPTIONS" "$(echo "$top_help" | help_options)" \
  "$(man_section "$MAN/fenupdator-cli.1.scd" "# OPTIONS" | man_options)"
compare "completion of fenupdator-cli's subcommands" "$subcommands" \
  "$(complete_words fenupdator-cli "")"
for sub in $subcommands; do
  check_command "$sub"
  nested=$("$CLI" "$sub" --help | help_subcommands)
  [ -n "$nested" ] || continue
  all_subcommands+=$'\n'$nested
  compare "completion of fenupdator-cli $sub's subcommands" "$nested" \
    "$(complete_words fenupdator-cli "$sub" "")"
  for inner in $nested; do check_command "$sub" "$inner"; done
done
compare "fenupdator-cli(1) SUBCOMMANDS" "$(echo "$all_subcommands" | sort -u)" \
  "$(man_section "$MAN/fenupdator-cli.1.scd" "# SUBCOMMANDS" | man_heads)"

# fen-devsim: options, values and fault kinds.
help=$("$DEVSIM" --help)
options=$(echo "$help" | help_options)
compare "fen-devsim(1) OPTIONS" "$options" "$(man_section "$MAN/fen-devsim.1.scd" "# OPTIONS" | man_options)"
compare "completion of fen-devsim's options" "$options" "$(complete_words fen-devsim --)"
while read -r opt value; do
  [ -n "$opt" ] || continue
  grep -q -- "\*$value\*" "$MAN/fen-devsim.1.scd" || fail "fen-devsim(1) lacks $opt $value"
  complete_words fen-devsim "$opt" "" | grep -qx -- "$value" || fail "completion of fen-devsim $opt lacks $value"
done <<<"$(echo "$help" | help_values)"
faults=$(echo "$help" | help_faults)
[ -n "$faults" ] || fail "fen-devsim --help lists no faults"
compare "fen-devsim(1) FAULTS" "$faults" "$(man_section "$MAN/fen-devsim.1.scd" "# FAULTS" | man_heads)"
compare "completion of fen-devsim's faults" "$faults" \
  "$(complete_words fen-devsim "" | sed -E 's/[@=].*//' | sort -u)"
compare "completion of fenupdator-cli's --fault" "$faults" \
  "$(complete_words fenupdator-cli update --fault "" | sed -E 's/[@=].*//' | sort -u)"

# Port names for --in and --out come from `list` of the same program, with the --api given.
stub=$(mktemp)
trap 'rm -f "$stub"' EXIT
cat >"$stub" <<'STUB'
#!/bin/sh
[ "$1 $2 $3" = "list --api alsa" ] || exit 3
printf 'MIDI IN\n    0  Midi Through Port-0\n  *  1  USB Audio Device\nMIDI OUT\n'
printf '    0  Midi Through Port-0\n  *  1  USB Audio Device (2)\n* pre-selected for instance 1\n'
STUB
chmod +x "$stub"
compare "completion of --in" "$(printf '%s\n' 'Midi\ Through\ Port-0' 'USB\ Audio\ Device')" \
  "$(complete_words "$stub" update --api alsa --in "")"
compare "completion of --out" 'USB\ Audio\ Device\ \(2\)' \
  "$(complete_words "$stub" update --api alsa --out "US")"

# What completion reads is data, never a pattern: a port named "glob/*" completes to itself, not
# to the files in glob/, and a file name with blanks and pattern characters stays one word.
files=$(mktemp -d)
trap 'rm -f "$stub"; rm -rf "$files"' EXIT
mkdir "$files/glob" && touch "$files/glob/one" "$files/glob/two" "$files/a b*"
cat >"$stub" <<'STUB'
#!/bin/sh
printf 'MIDI IN\n    0  glob/*\nMIDI OUT\n    0  glob/*\n'
STUB
compare "completion of a port named like a pattern" 'glob/\*' \
  "$(cd "$files" && complete_words "$stub" update --in "gl")"
compare "completion of a file name with blanks and pattern characters" 'a b*' \
  "$(cd "$files" && complete_words fenupdator-cli update --record "a")"

# Every page has the sections a reader looks for.
for page in "$MAN"/*.scd; do
  for section in "# SYNOPSIS" "# OPTIONS" "# EXIT STATUS" "# FILES" "# EXAMPLES"; do
    case "$(basename "$page"):$section" in fen-devsim.1.scd:"# FILES") continue ;; esac
    grep -qx "$section" "$page" || fail "$(basename "$page") has no ${section#\# } section"
  done
done

if [ "$failures" -gt 0 ]; then
  echo "$failures difference(s) between --help and the manual pages or the completion"
  exit 1
fi
echo "Manual pages and completion match --help."
