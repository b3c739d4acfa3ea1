#!/usr/bin/env bash
# Installs what the Windows build needs, cross-builds Plinkor.exe and starts it
# under Wine on this display. The Wine prefix is kept (PLINKOR_WINEPREFIX,
# default ~/.local/share/plinkor/wine), so later starts are quick. Wine names
# the machine's serial devices COM1 and up by itself; `--com N DEVICE` maps one
# more before the start, e.g. scripts/run-win.sh --com 5 /dev/ttyUSB0
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps-win.sh
preset=win32
if [ ! -x /usr/lib/wine/wine ]; then
  echo "=== no 32-bit Wine (wine32:i386): starting the x86-64 build instead"
  preset=win64
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target plinkor
if [ -z "${DISPLAY:-}" ]; then
  echo "No X display (DISPLAY is empty): Plinkor.exe needs one." >&2
  exit 1
fi

source scripts/wine-prefix.sh
export WINEPREFIX="${PLINKOR_WINEPREFIX:-$HOME/.local/share/plinkor/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko: nothing here uses them
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
  wine_font_replacements
fi
while [ "${1:-}" = --com ]; do
  wine_map_com "$2" "$3"
  shift 3
done
exec "$(wine_loader "build/$preset/app/Plinkor.exe")" "build/$preset/app/Plinkor.exe" "$@"
