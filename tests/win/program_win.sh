#!/usr/bin/env bash
# Runs program_win_test.exe, which starts Plinkor.exe, in a private network
# namespace: the program's port 12345 is fixed, and only there can it never
# meet this machine's.
#
#   program_win.sh PLINKOR.EXE PROGRAM_WIN_TEST.EXE [gtest arguments]
#
# Needs the prefix and display of scripts/wine-prefix.sh (WINEPREFIX, DISPLAY)
# and root; exits 77 (skipped) without them.
#
# Under Wine every socket a program opens is made by the wineserver, so the
# program's listening socket lives in the server's network namespace. The
# server must therefore be started inside the namespace, and must not be the
# suite's, which runs outside. Wine keys its server by the prefix folder, so
# the run gets a copy of the suite's prefix: its first Wine call here starts
# a server of its own, in this namespace, and the suite's server never sees
# it. The X display is reached through its socket file, which every network
# namespace shares.
set -euo pipefail

if [ -z "${WINEPREFIX:-}" ] || [ -z "${DISPLAY:-}" ]; then
  echo "skipped: no Wine prefix and display (run by scripts/test-win.sh)"
  exit 77
fi
if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null || ! command -v ip >/dev/null ||
  ! command -v socat >/dev/null; then
  echo "skipped: needs root, unshare, ip and socat for a private network namespace"
  exit 77
fi
if [ -z "${PLINKOR_PRIVATE_NET:-}" ]; then
  PLINKOR_PRIVATE_NET=1 exec unshare --net -- bash "$0" "$@"
fi

here=$(cd "$(dirname "$0")" && pwd)
exe=$1
test=$2
shift 2
ip link set lo up

work=$(mktemp -d "${TMPDIR:-/tmp}/plinkor-program.XXXXXX")
socat_pid=
cleanup() {
  WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
  WINEPREFIX="$work/prefix" wineserver -w 2>/dev/null || true
  [ -n "$socat_pid" ] && { kill "$socat_pid" 2>/dev/null || true; wait "$socat_pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT

cp -a "$WINEPREFIX" "$work/prefix"
export WINEPREFIX="$work/prefix"
rm -f "$WINEPREFIX"/dosdevices/com*

# The board on COM7, the program's port on COM8: Wine lists the ports by
# number, so COM8 is the last one, the one the program opens at start.
socat pty,raw,echo=0,link="$work/com7" pty,raw,echo=0,link="$work/com8" >"$work/socat.log" 2>&1 &
socat_pid=$!
for _ in $(seq 50); do
  [ -e "$work/com7" ] && [ -e "$work/com8" ] && break
  sleep 0.1
done
# map_ports PATH-OF-COM8: the board on COM7, the program's port on COM8.
map_ports() {
  cat >"$work/ports.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]
"COM5"=-
"COM6"=-
"COM7"="$(readlink -f "$work/com7")"
"COM8"="$1"
REG
  wine regedit /S "$(winepath -w "$work/ports.reg")" >/dev/null 2>&1
  # The device map is made as Wine's services start: restart them.
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
}
map_ports "$(readlink -f "$work/com8")"

if [ -n "${PLINKOR_SCREENSHOT:-}" ]; then
  # No window manager runs on the display: Wine draws the frame and the
  # caption itself, as Windows would.
  cat >"$work/frame.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]
"Decorated"="N"
REG
  wine regedit /S "$(winepath -w "$work/frame.reg")" >/dev/null 2>&1
  # The screen's resolution for the picture (96 unless asked).
  if [ -n "${PLINKOR_SCREENSHOT_DPI:-}" ]; then
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD \
      /d "$PLINKOR_SCREENSHOT_DPI" /f >/dev/null 2>&1
    wineserver -w
  fi
  PLINKOR_SCREENSHOT_BMP=$(winepath -w "$work/shot.bmp")
  export PLINKOR_SCREENSHOT_BMP
fi

export PLINKOR_TEST_COM=8 PLINKOR_TEST_BOARD_COM=7
PLINKOR_EXE=$(winepath -w "$exe")
export PLINKOR_EXE
# The test under the Wine loader of its own machine type, once more if Wine
# failed before it started.
run_test() { bash "$here/wine_run.sh" "$test" "$@"; }
status=0
run_test "$@" || status=$?
if [ -n "${PLINKOR_SCREENSHOT:-}" ]; then
  [ -s "$work/shot.bmp" ] && convert "$work/shot.bmp" "$PLINKOR_SCREENSHOT"
  exit "$status"
fi

# Once more with the program's port listed but not a device: its open fails.
mkdir "$work/gone"  # listed, yet no device opens there
map_ports "$work/gone"
PLINKOR_TEST_PORT_GONE=1 run_test "$@" || status=$?

# And once with a plain file there: it opens, but no serial call works on it.
: >"$work/file"
map_ports "$work/file"
PLINKOR_TEST_PORT_FILE=1 run_test "$@" || status=$?
exit "$status"
