#!/usr/bin/env bash
# scripts/install-deps against a stand-in apt: an archive index that fails, a required
# package that cannot be had, and a machine that has everything. The stand-ins record what
# they were asked; nothing is installed.
set -uo pipefail
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# dpkg-query: the packages listed in $work/installed are installed. dpkg: i386 is known.
cat >"$work/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
grep -qx "${@: -1}" "$STUB_DIR/installed" && echo installed
STUB
cat >"$work/bin/dpkg" <<'STUB'
#!/usr/bin/env bash
[ "$1" = --print-foreign-architectures ] && echo i386
exit 0
STUB
# apt-get: update fails as a mirror in sync does; install fails for $STUB_MISSING and
# for 32-bit packages.
cat >"$work/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "$*" >>"$STUB_DIR/calls"
if [ "$1" = update ]; then
  [ "${STUB_UPDATE_FAILS:-0}" = 1 ] || exit 0
  echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size"
  exit 100
fi
for p in "$@"; do
  if [ "$p" = "${STUB_MISSING:-}" ] || [[ $p == *:i386 ]]; then
    echo "E: Unable to locate package $p"
    exit 100
  fi
done
echo "0 upgraded, $(($# - 5)) newly installed"
STUB
chmod +x "$work/bin/"*
sleep() { :; }
export -f sleep
run() {  # run NAME: the script's output in $work/NAME.out, its exit code in $rc
  rm -f "$work/calls"
  PATH="$work/bin:$PATH" STUB_DIR=$work bash "$script" >"$work/$1.out" 2>&1
  rc=$?
}
required=$(sed -n '/^required=(/,/^)/p' "$script" | grep -v '^ *#' | tr -d '()' |
           sed 's/required=//' | tr ' ' '\n' | grep -v '^$')

# 1. Every index fails twice: the required packages still come from the lists at hand, the
#    script says so, the optional one is named in one line, and the exit code is 0.
: >"$work/installed"
STUB_UPDATE_FAILS=1 run failing-index
[ "$rc" -eq 0 ] || fail "a failing index stopped the set-up (exit $rc)"
grep -q "apt-get update failed twice" "$work/failing-index.out" || fail "the failing index is not said"
grep -q "E: Failed to fetch" "$work/failing-index.out" || fail "the archive's message is not shown"
[ "$(grep -c '^update' "$work/calls")" -eq 2 ] || fail "apt-get update is not tried exactly twice"
grep -q "^install .* wine64" "$work/calls" || fail "the required packages were not installed"
[ "$(grep -c 'optional wine32:i386' "$work/failing-index.out")" -ge 1 ] ||
  fail "the optional package left out is not named"

# 2. A required package the archive does not have: exit 1 with the archive's message.
STUB_MISSING=libxml2-utils run missing-required
[ "$rc" -eq 1 ] || fail "a missing required package gave exit $rc"
grep -q "a required package cannot be installed" "$work/missing-required.out" ||
  fail "the missing required package is not said"
grep -q "E: Unable to locate package libxml2-utils" "$work/missing-required.out" ||
  fail "the archive's message for the missing package is not shown"

# 3. Everything required installed: apt is not asked to install anything.
echo "$required" >"$work/installed"
INSTALL_DEPS_OPTIONAL=0 run all-present
[ "$rc" -eq 0 ] || fail "a complete machine gave exit $rc"
grep -q "all $(echo "$required" | wc -l) required packages present" "$work/all-present.out" ||
  fail "a complete machine is not said so: $(cat "$work/all-present.out")"
[ ! -s "$work/calls" ] || fail "apt-get was called on a complete machine"

for f in "$work"/*.out; do [ "$failures" -eq 0 ] || { echo "== $f"; cat "$f"; }; done
exit $((failures > 0))
