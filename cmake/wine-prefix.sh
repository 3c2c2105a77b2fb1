#!/usr/bin/env bash
# wine-prefix.sh setup|cleanup <prefix>
# setup: creates the private Wine prefix when it is not complete yet (about 20 s), set for
# headless runs: no display driver, no crash dialog, no Mono or Gecko installers; then starts a
# persistent wineserver so the tests do not each pay for its start. cleanup: stops the server.
set -euo pipefail
action=$1
prefix=$2
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
log=$prefix.log
ready=$prefix/.complete

if [ "$action" = cleanup ]; then
  "$wineserver" -k >/dev/null 2>&1 || true  # no server running is fine
  exit 0
fi
[ "$action" = setup ] || { echo "usage: $0 setup|cleanup <prefix>" >&2; exit 2; }

if [ -e "$prefix" ] && [ "$(stat -c %u "$prefix")" != "$(id -u)" ]; then
  echo "wine-prefix: $prefix belongs to another user; remove it or build as that user" >&2
  exit 1
fi

# Wine's own processes outlive this script: their output goes to the log, never to CTest's
# pipes, which CTest would otherwise wait on.
run() { "$@" </dev/null >>"$log" 2>&1 || { cat "$log" >&2; exit 1; }; }

if [ ! -f "$ready" ]; then
  rm -rf "$prefix" "$log"
  mkdir -p "$prefix"
  run "$wine64" wineboot --init
  run "$wine64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
  run "$wine64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
  run "$wineserver" -w  # the server saves the registry when it exits
  touch "$ready"
  echo "wine-prefix: created $prefix"
fi
# Exit code 2: a server of this prefix already runs (left by an interrupted run); use it.
rc=0
"$wineserver" -p </dev/null >>"$log" 2>&1 || rc=$?
if [ "$rc" -ne 0 ] && [ "$rc" -ne 2 ]; then
  cat "$log" >&2
  exit 1
fi
# The first program started under the server also starts Wine's own services, which then live
# as long as the server does: start them here, where their output goes to the log.
run "$wine64" reg query 'HKCU\Software\Wine\Drivers' /v Graphics
echo "wine-prefix: wineserver running for $prefix"
