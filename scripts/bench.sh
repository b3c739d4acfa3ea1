#!/usr/bin/env bash
# Builds the default preset and runs every benchmark in bench/: the Google
# Benchmark ones (arguments go to them), then the table of figures_bench
# (FIGURES_ARGS go to it: --quick, --no-program, --only=<phase>[,<phase>...]).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
for b in build/default/bench/*_bench; do
  [ "$(basename "$b")" = figures_bench ] && continue
  echo "=== $b"
  "$b" "$@"
done
echo "=== build/default/bench/figures_bench"
# shellcheck disable=SC2086
build/default/bench/figures_bench ${FIGURES_ARGS:-}
