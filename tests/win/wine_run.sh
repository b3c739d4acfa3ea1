#!/usr/bin/env bash
# Starts a Windows test program under Wine: the Windows builds' emulator
# (CMAKE_CROSSCOMPILING_EMULATOR), and how program_win.sh starts its test.
#
#   wine_run.sh PROGRAM.exe [ARG…]
#
# The program runs under the Wine loader of its own machine type (a 64-bit
# program given to `wine` where 32-bit Wine is installed would run as the
# child of a 32-bit start.exe).
#
# Every test program here is a GoogleTest one, whose main first prints
# "Running main() from" and flushes it before any test runs. When Wine ends
# and that line has not come, the program never ran: Wine, its server or the
# program's loading failed (a server that went away under it, a prefix being
# made or updated by another process, an address range the loader could not
# reserve), usually with WINEDEBUG=-all keeping Wine quiet. Then Wine's exit
# status and error output are reported, and the program is started once more.
# A program that reached its main is never started again, whatever its result.
set -uo pipefail

source "$(dirname "$0")/../../scripts/wine-prefix.sh"
exe=$1
shift
loader=$(wine_loader "$exe")
out=$(mktemp "${TMPDIR:-/tmp}/plinkor-wine-run.XXXXXX")
err=$(mktemp "${TMPDIR:-/tmp}/plinkor-wine-run.XXXXXX")
trap 'rm -f "$out" "$err"' EXIT

for attempt in 1 2; do
  # Wine's error output is kept aside to be told apart from the program's; it
  # is passed on all the same, after the run.
  started=$SECONDS
  "$loader" "$exe" "$@" 2>"$err" | tee "$out"
  status=${PIPESTATUS[0]}
  cat "$err" >&2
  grep -q '^Running main() from' "$out" && exit "$status"
  {
    echo "wine_run: $(basename "$exe") did not start: $loader ended with status $status" \
      "after $((SECONDS - started)) s before the program printed a line"
    if [ -s "$err" ]; then
      echo "wine_run: Wine's error output was:"
      sed 's/^/wine_run:   /' "$err"
    else
      echo "wine_run: Wine printed no error (WINEDEBUG=${WINEDEBUG:-})"
    fi
    ((attempt == 1)) && echo "wine_run: starting it once more"
  } >&2
done
# Never reported as passed, even when Wine said 0.
((status != 0)) || status=1
exit "$status"
