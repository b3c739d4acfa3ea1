#!/usr/bin/env bash
# The Windows tests of one cross-built preset under the Wine found here, in a
# throwaway prefix, with a pseudo-terminal pair mapped as COM5 (the port) and
# COM6 (the board). Run by scripts/test-win.sh, on this machine or inside the
# root of scripts/wine32-root.sh.
#
#   wine-suite.sh PRESET WHERE [ctest arguments]   # WHERE: said with the Wine that ran it
set -euo pipefail
cd "$(dirname "$0")/.."
preset=$1
where=$2
shift 2

source scripts/wine-prefix.sh
wine_prefix_up
# Two linked pseudo-terminals: what one end is sent, the other reads.
socat pty,raw,echo=0,link="$WINE_ROOT/com5" pty,raw,echo=0,link="$WINE_ROOT/com6" \
  >"$WINE_ROOT/socat.log" 2>&1 &
WINE_HELPER_PIDS="$!"
for _ in $(seq 50); do
  [ -e "$WINE_ROOT/com5" ] && [ -e "$WINE_ROOT/com6" ] && break
  sleep 0.1
done
wine_map_com 5 "$WINE_ROOT/com5"
wine_map_com 6 "$WINE_ROOT/com6"
export PLINKOR_TEST_COM=5 PLINKOR_TEST_BOARD_COM=6

loader=$(wine_loader "build/$preset/app/Plinkor.exe")
bits=64
[ "$preset" = win32 ] && bits=32
echo "=== test: $preset (the $bits-bit build) under $("$loader" --version 2>/dev/null)," \
  "$bits-bit ($loader), $where"
status=0
ctest --preset "$preset" "$@" || status=$?
wine_prefix_down
exit "$status"
