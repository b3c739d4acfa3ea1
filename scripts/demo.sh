#!/usr/bin/env bash
# Plinkor without a board, in a minute: a simulated board on a pseudo-terminal
# (it answers each command with "ok&<command>" and prints a counter line every
# second) and the real program with its window on your display, both in a
# private namespace; 127.0.0.1:12345 on this machine leads to the bridge, so
# examples/console.html in your browser talks to the simulated board.
# `--chromium` also opens the console in Chromium. Needs root (sudo), like
# the end-to-end test.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "demo.sh needs root for its private namespace: sudo bash scripts/demo.sh" >&2
  exit 1
fi
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target plinkor plinkor_demo
exec ./build/default/tools/demo/plinkor_demo "$@"
