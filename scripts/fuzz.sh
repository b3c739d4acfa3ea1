#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (the `fuzz` preset) and runs each for a
# bounded time, 60 seconds unless FUZZ_SECONDS says otherwise. A crash, a
# sanitizer report or a broken invariant fails the run; the input that did it is
# kept under build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"

run_sanitized() {
  if setarch "$(uname -m)" -R true 2>/dev/null; then setarch "$(uname -m)" -R "$@"; else "$@"; fi
}

echo "=== build: fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
for target in request; do
  corpus=$(mktemp -d)
  trap 'rm -rf "$corpus"' EXIT
  echo "=== fuzz: ${target} for ${seconds} s"
  # New inputs go to the scratch folder; the committed seeds are only read.
  run_sanitized "build/fuzz/fuzz/${target}_fuzz" \
    -max_total_time="$seconds" -max_len=1024 -timeout=10 -print_final_stats=1 \
    -dict="fuzz/${target}.dict" -artifact_prefix="$artifacts/${target}-" \
    "$corpus" "fuzz/corpus"
  rm -rf "$corpus"
  trap - EXIT
done
