#!/usr/bin/env bash
# Takes docs/screenshot.png: the real window, shown on a virtual X server
# (Xvfb), from inside the end-to-end test's private machine (pseudo-terminal
# board as /dev/ttyUSB31). Needs root, like the end-to-end test.
#
#   scripts/screenshot.sh windows   # docs/windows.png and docs/windows-144dpi.png
#                                   # instead: Plinkor.exe under Wine on Xvfb at 96
#                                   # and 144 DPI, from tests/win/program_win.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = windows ]; then
  bash scripts/install-deps-win.sh
  preset=win32
  [ -x /usr/lib/wine/wine ] || preset=win64  # no 32-bit Wine here
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target plinkor program_win_test
  source scripts/wine-prefix.sh
  wine_prefix_up
  mkdir -p docs
  # At 96 DPI, and at 144 DPI (150 %), where the manifest's DPI awareness
  # has the dialog laid out anew from its scaled font.
  for dpi in 96 144; do
    out=docs/windows.png
    [ "$dpi" = 96 ] || out=docs/windows-${dpi}dpi.png
    PLINKOR_SCREENSHOT="$PWD/$out" PLINKOR_SCREENSHOT_DPI=$dpi bash tests/win/program_win.sh \
      "build/$preset/app/Plinkor.exe" "build/$preset/tests/win/program_win_test.exe" \
      --gtest_filter=ProgramWin.Screenshot
    echo "wrote $out"
  done
  wine_prefix_down
  exit 0
fi
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target plinkor e2e_test

display=:97
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb"' EXIT
for _ in $(seq 50); do xwininfo -display "$display" -root >/dev/null 2>&1 && break; sleep 0.1; done

mkdir -p docs
DISPLAY="$display" PLINKOR_SCREENSHOT="$PWD/docs/screenshot.png" \
  ./build/default/tests/e2e_test --gtest_filter=EndToEnd.Screenshot
echo "wrote docs/screenshot.png"
