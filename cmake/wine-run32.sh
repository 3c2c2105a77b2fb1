#!/usr/bin/env bash
# wine-run32.sh <wine> <program> [args...]: runs a 32-bit Windows test program under Wine.
# Wine's 32-bit loader is itself a 32-bit Linux program; a kernel built without IA-32
# emulation cannot start it at all. There the test is skipped (exit 77) and says why,
# instead of failing on something no code of ours can change.
wine=$1
shift
"$wine" --version >/dev/null 2>&1
if [ $? -eq 126 ]; then
  echo "SKIPPED: this kernel cannot run 32-bit programs ($wine: Exec format error);" \
       "the x86 build is tested on a machine that can" >&2
  exit 77
fi
exec "$wine" "$@"
