#!/usr/bin/env bash
# Builds the default preset and runs every benchmark in bench/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
for b in build/default/bench/*_bench; do
  echo "=== $b"
  "$b" "$@"
done
