#!/usr/bin/env bash
# check-packages.sh BUILD_DIR SOURCE_DIR: builds the Debian packages of the build with cpack,
# unpacks them into one temporary root and checks that the programs work from there.
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
for tool in dpkg-deb lintian cc pkg-config; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$tmp/debs" >"$tmp/cpack.log") || { cat "$tmp/cpack.log"; fail "cpack"; }
root=$tmp/root
for deb in "$tmp"/debs/*.deb; do dpkg-deb -x "$deb" "$root"; done

expected="usr/bin/prmtool usr/bin/prmctl usr/bin/hm210-sim usr/share/prmtool/HM-210.bmp
  usr/bin/vm418station usr/bin/vm418ctl usr/bin/vm418-sim usr/share/vm418station/sql/vm418.sql
  usr/lib/librunmark.so.1 usr/lib/librunmark.so usr/include/runmark.h
  usr/lib/pkgconfig/runmark.pc usr/lib/cmake/runmark/runmarkConfig.cmake
  usr/share/doc/vm418station/vm418station.md usr/share/doc/librunmark1/copyright
  usr/lib/systemd/system/vm418-autocall.service usr/lib/systemd/system/vm418-fleet.service
  usr/lib/systemd/system/vm418-notify.service
  etc/vm418station/vm418station.conf"
for program in prmtool vm418station; do
  expected+=" usr/share/applications/com.norvale.$program.desktop"
  expected+=" usr/share/metainfo/com.norvale.$program.metainfo.xml"
  expected+=" usr/share/icons/hicolor/scalable/apps/$program.svg"
  expected+=" usr/share/icons/hicolor/48x48/apps/$program.png"
done
for page in prmtool prmctl hm210-sim vm418station vm418ctl vm418-sim; do
  expected+=" usr/share/man/man1/$page.1.gz"
done
if grep -q '^SUITE_BUILD_WINDOWS:BOOL=ON' "$build/CMakeCache.txt"; then
  for arch in x64 x86; do
    for dll in runmark olehost; do
      expected+=" usr/share/instrument-suite/windows/$arch/$dll.dll"
      expected+=" usr/share/instrument-suite/windows/$arch/lib$dll.dll.a"
    done
  done
fi
for f in $expected; do [ -e "$root/$f" ] || fail "no $f in the packages"; done

# No path of the build or source tree in any file (programs, pkg-config and CMake files, docs),
# in 8-bit text or in the UTF-16 of Qt's string literals.
while IFS= read -r -d '' f; do
  if { strings -a "$f"; strings -a -el "$f"; } | grep -qF -e "$build" -e "$src"; then
    fail "${f#"$root"/} names the build tree"
  fi
done < <(find "$root" -type f -print0)

# The unpacked programs run their simulators from beside them, not from the build tree.
export PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen
unset HM210_SIM VM418_SIM
cd "$tmp"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
for program in prmctl vm418ctl; do
  [ "$("$root/usr/bin/$program" --version)" = "$program $version" ] || fail "$program --version"
done
"$root/usr/bin/prmctl" --simulate settings read >prmctl.out 2>&1 || { cat prmctl.out; fail "prmctl"; }
grep -q "^dose_units: " prmctl.out || fail "prmctl printed no settings"
mkdir unit
"$root/usr/bin/vm418ctl" link fetch --simulate --phone 5551234 --password pw \
  --sim-arg --dump-dir --sim-arg "$tmp/unit" HIST --save-as hist.bin >vm418ctl.out 2>&1 ||
  { cat vm418ctl.out; fail "vm418ctl link fetch"; }
cmp -s hist.bin unit/HIST || fail "vm418ctl fetched a file that differs from the unit's"

# A C caller built against the unpacked runmark.pc and, separately, find_package(runmark).
cat >caller.c <<'EOF'
#include <runmark.h>
#include <stdio.h>
int main(void) {
    int32_t added = AddRunningKey("Software\\Suite"), running = IsRunning("Software\\Suite");
    printf("%d %d\n", added, running);
    return added != 0 || running != 0;
}
EOF
export PKG_CONFIG_PATH=$root/usr/lib/pkgconfig LD_LIBRARY_PATH=$root/usr/lib
# shellcheck disable=SC2046
cc -o caller caller.c $(pkg-config --cflags --libs runmark) || fail "caller does not build"
readelf -d caller | grep -q 'NEEDED.*\[librunmark.so.1\]' || fail "caller does not need librunmark.so.1"
mkdir -p marks/HKEY_LOCAL_MACHINE/Software/Suite
RUNMARK_ROOT=$tmp/marks ./caller || fail "caller against the unpacked library"
mkdir cmake-caller
printf 'cmake_minimum_required(VERSION 3.25)\nproject(caller C)\nfind_package(runmark REQUIRED)\nadd_executable(caller ../caller.c)\ntarget_link_libraries(caller runmark::runmark)\n' >cmake-caller/CMakeLists.txt
(cd cmake-caller && cmake -S . -B b -DCMAKE_PREFIX_PATH="$root/usr" >log 2>&1 && cmake --build b >>log 2>&1) ||
  { cat cmake-caller/log; fail "find_package(runmark)"; }
RUNMARK_ROOT=$tmp/marks cmake-caller/b/caller || fail "the CMake caller"

# The services: systemd accepts the units (with the program where the unpacked tree has it);
# the configuration file as shipped is read without a complaint, and is a conffile.
if command -v systemd-analyze >/dev/null; then
  mkdir units
  for unit in "$root"/usr/lib/systemd/system/*.service; do
    sed "s|^ExecStart=vm418ctl|ExecStart=$root/usr/bin/vm418ctl|" "$unit" >"units/${unit##*/}"
  done
  MANPATH=$root/usr/share/man systemd-analyze verify units/*.service || fail "systemd-analyze verify"
fi
VM418_DB="DRIVER=SQLite3;Database=$tmp/site.db" "$root/usr/bin/vm418ctl" \
  --config "$root/etc/vm418station/vm418station.conf" db init >site.out 2>&1 ||
  { cat site.out; fail "the shipped configuration"; }
dpkg-deb -I "$tmp"/debs/vm418station_*.deb conffiles | grep -qx /etc/vm418station/vm418station.conf ||
  fail "the configuration is no conffile"

lintian --fail-on error "$tmp"/debs/*.deb ||
  fail "lintian reports errors"
echo "packages checked: $(cd "$tmp/debs" && echo *.deb)"
