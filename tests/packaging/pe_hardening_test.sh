#!/usr/bin/env bash
# The Windows programs' hardening read back from the files the build made: ASLR with high
# entropy and DEP in the PE headers (with the relocations ASLR needs, and no libssp DLL to carry
# beside them), and in the builds that keep their symbols the stack protector's and the
# fortified functions' checks.
#   pe_hardening_test.sh OBJDUMP --headers EXE... --symbols EXE...
set -euo pipefail
objdump=$1
shift
mode=""
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}
for arg in "$@"; do
  case $arg in
  --headers | --symbols)
    mode=$arg
    continue
    ;;
  esac
  name=$(basename "$arg")
  if [ "$mode" = --headers ]; then
    headers=$("$objdump" -p -h "$arg")
    chars=$(awk '$1 == "DllCharacteristics" {print $2; exit}' <<<"$headers")
    [ -n "$chars" ] || fail "$name: no DllCharacteristics in its headers"
    for bit in 0x20:HIGH_ENTROPY_VA 0x40:DYNAMIC_BASE 0x100:NX_COMPAT; do
      if (((16#${chars:-0} & ${bit%%:*}) == 0)); then
        fail "$name: ${bit#*:} is not set (DllCharacteristics $chars)"
      fi
    done
    grep -q ' \.reloc ' <<<"$headers" || fail "$name: no .reloc section: ASLR cannot move it"
    if grep -qi 'DLL Name: libssp' <<<"$headers"; then
      fail "$name: needs libssp's DLL beside it"
    fi
  else
    symbols=$("$objdump" -t "$arg")
    grep -qw '__stack_chk_fail' <<<"$symbols" || fail "$name: no __stack_chk_fail (stack protector)"
    grep -qw '__stack_chk_guard' <<<"$symbols" || fail "$name: no __stack_chk_guard (stack protector)"
    grep -qE '__(memcpy|memmove|memset|strcpy|strcat|strncpy|sprintf|vsnprintf|snprintf)_chk$' \
      <<<"$symbols" || fail "$name: no fortified function (_FORTIFY_SOURCE)"
  fi
  echo "checked $name ($mode)"
done
[ "$failures" = 0 ]
