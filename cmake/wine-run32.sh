#!/usr/bin/env bash
# wine-run32.sh <wine> <program> [args...]: runs a 32-bit Windows test program under Wine.
# 32-bit Wine is optional (scripts/install-deps leaves it out where it cannot be had), and
# its loader is itself a 32-bit Linux program that a kernel built without IA-32 emulation
# cannot start at all. In either case the test is skipped (exit 77) and says why, instead
# of failing on something no code of ours can change.
wine=$1
shift
skip() {
  echo "SKIPPED: $*; the x86 build is tested on a machine that can (docs/olehost.md)" >&2
  exit 77
}
[ -e "$wine" ] || skip "32-bit Wine is not installed ($wine missing, Debian package wine32:i386)"
"$wine" --version >/dev/null 2>&1
[ $? -ne 126 ] || skip "this kernel cannot run 32-bit programs ($wine: Exec format error)"
exec "$wine" "$@"
