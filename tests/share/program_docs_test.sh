#!/usr/bin/env bash
# usage: program_docs_test.sh SHARE_SOURCE SHARE_BUILD PROGRAM PAGE [PROGRAM PAGE]...
# Each program: --version prints "NAME VERSION" (the version of its man page) and exits 0,
# --help goes to standard output and exits 0, a wrong option goes to standard error and exits
# 2; every option its --help names is in its man page, which man and lexgrog read without a
# warning. Then the desktop entries and the metainfo pass their validators.
set -uo pipefail
source_dir=$1 build_dir=$2
shift 2
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
run() { "$@" >"$out" 2>"$err"; }
# Qt's notes about the environment are not the program's answer.
errors() { grep -v '^QStandardPaths:' "$err"; }

while [ $# -ge 2 ]; do
  program=$1 page=$2 name=$(basename "$1")
  shift 2
  version=$(sed -n 's/^\.TH .*"[a-z0-9]* \([0-9][0-9.]*\)".*/\1/p' "$page")
  run "$program" --version
  [ $? = 0 ] && [ "$(cat "$out")" = "$name $version" ] ||
    fail "$name --version: '$(cat "$out" "$err")', expected '$name $version' and exit 0"
  run "$program" --help
  status=$?
  help=$(cat "$out")
  [ $status = 0 ] && [ -n "$help" ] && [ -z "$(errors)" ] ||
    fail "$name --help: exit $status, stderr '$(errors)'"
  run "$program" --no-such-option
  status=$?
  [ $status = 2 ] && [ ! -s "$out" ] && [ -n "$(errors)" ] ||
    fail "$name --no-such-option: exit $status (expected 2), stdout '$(cat "$out")'"

  text=$(sed 's/\\-/-/g' "$page")
  for option in $(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u); do
    grep -qF -- "$option" <<<"$text" || fail "$name: $option of --help is not in $(basename "$page")"
  done
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  lexgrog "$page" >/dev/null || fail "$(basename "$page"): lexgrog cannot read its NAME"
done

for tool in desktop-file-validate appstreamcli; do
  command -v $tool >/dev/null || fail "$tool is missing (scripts/install-deps installs it)"
done
for entry in "$source_dir"/applications/*.desktop; do
  report=$(desktop-file-validate "$entry" 2>&1) && [ -z "$report" ] || fail "$entry: $report"
done
for metainfo in "$build_dir"/metainfo/*.metainfo.xml; do
  appstreamcli validate --no-net "$metainfo" >"$out" 2>&1 || fail "$metainfo: $(cat "$out")"
done
[ $failures = 0 ] && echo "all checks passed"
exit $((failures > 0))
