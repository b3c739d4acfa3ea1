#!/usr/bin/env bash
# The Windows figures: builds Plinkor.exe and the anchors of bench/win with
# the win32 preset, and runs bench/win/figures_win.py under 32-bit Wine, in a
# throwaway prefix of its own, in a private network namespace (port 12345 is
# fixed). Which Wine: this machine's when it has 32-bit Wine; otherwise the
# root of scripts/wine32-root.sh when it can be had; otherwise the x86-64 build
# under this machine's 64-bit Wine, said so in every table. Needs root.
#
#   bench-win.sh [--runs N] [--quick]       # arguments go to figures_win.py
#   PLINKOR_BENCH_PRESET=win64 bench-win.sh  # the x86-64 build, this machine's Wine
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --inside ]; then
  # Here: a private network namespace, the build done. Everything Wine starts
  # from now on (its server, Xvfb's socket) lives in it.
  shift
  preset=$1 where=$2
  shift 2
  ip link set lo up
  # The prefix and the display's files in the build tree: a run cut short
  # leaves nothing behind in /tmp, and the next one clears them.
  export TMPDIR=$PWD/build/$preset/bench-win
  rm -rf "$TMPDIR"
  mkdir -p "$TMPDIR"
  source scripts/wine-prefix.sh
  wine_prefix_up >/dev/null
  # No window manager: without this Wine waits 2 s at every program's end.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  wineserver -w
  label="build/$preset/app/Plinkor.exe ($preset) under $(wine --version 2>/dev/null) $where"
  echo "=== $label; $(nproc) processors, load $(cut -d' ' -f1-3 /proc/loadavg)"
  status=0
  python3 bench/win/figures_win.py "build/$preset/app/Plinkor.exe" \
    "build/$preset/bench/win/bare_win.exe" --label "$label" "$@" || status=$?
  wine_prefix_down
  exit "$status"
fi

[ "$(id -u)" -eq 0 ] || { echo "bench-win.sh: needs root (a private network namespace)" >&2; exit 1; }
bash scripts/install-deps-win.sh >/dev/null

# Which Wine runs which build.
root_script=${PLINKOR_WINE32_ROOT_SCRIPT:-scripts/wine32-root.sh}
preset=${PLINKOR_BENCH_PRESET:-win32}
how=host
if [ "$preset" = win32 ] && [ ! -x /usr/lib/wine/wine ]; then
  why="no $root_script to make a root with 32-bit Wine"
  if [ -f "$root_script" ]; then
    why="this kernel runs no 32-bit x86 programs"
    if bash "$root_script" check; then
      why="the root with 32-bit Wine could not be made"
      bash "$root_script" make && how=root
    fi
  fi
  if [ "$how" != root ]; then
    echo "=== no 32-bit Wine ($why): the x86-64 build under 64-bit Wine instead"
    preset=win64
  fi
fi

cmake --preset "$preset" -DPLINKOR_BUILD_BENCH=ON >/dev/null
cmake --build "build/$preset" --target plinkor bare_win
# The presets leave the anchors out again for CI's builds.
cmake --preset "$preset" >/dev/null

if [ "$how" = root ]; then
  bash "$root_script" run bash scripts/bench-win.sh --inside "$preset" \
    "(32-bit Wine of a Debian 12 root, $root_script)" "$@"
else
  bits=64
  [ "$preset" = win32 ] && bits=32
  # Its own processes too: whatever Wine leaves ends with the run.
  unshare --net --pid --fork --kill-child --mount-proc -- \
    bash scripts/bench-win.sh --inside "$preset" "($bits-bit Wine of this machine)" "$@"
fi
