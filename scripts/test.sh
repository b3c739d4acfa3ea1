#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test: the fuzz targets for
# a bounded time, then the suite in the default build and again under
# AddressSanitizer + UBSan and under ThreadSanitizer, each followed by the
# reliability suite's report, then the Windows build and its tests under Wine
# (scripts/test-win.sh). Arguments name the presets to run instead ("windows"
# for the Windows part), e.g. `scripts/test.sh default windows`.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

# Older sanitizer runtimes cannot map their shadow memory under the kernel's
# full address-space randomisation.
run_sanitized() {
  if setarch "$(uname -m)" -R true 2>/dev/null; then setarch "$(uname -m)" -R "$@"; else "$@"; fi
}

if [ -f scripts/fuzz.sh ] && [ -z "${1:-}" ]; then
  bash scripts/fuzz.sh
fi

presets=("${@:-default asan tsan windows}")
for preset in ${presets[*]}; do
  if [ "$preset" = windows ]; then
    linux_done=$SECONDS
    bash scripts/test-win.sh
    echo "=== the Windows part took $((SECONDS - linux_done)) s of $SECONDS s"
    continue
  fi
  echo "=== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== test: $preset"
  # The reliability suite's one line per check is its report: shown whether it
  # passes or not.
  echo "=== reliability: $preset"
  run_sanitized ctest --preset "$preset" -L reliability --verbose |
    grep -E '^[0-9]+: (PASS|FAIL|skipped|[0-9]+ passed)' | sed 's/^[0-9]*: //'
  run_sanitized ctest --preset "$preset" -LE reliability
  if [ "$preset" = default ]; then
    # The Debian package, held to what Debian asks of one.
    echo "=== package: lintian"
    rm -f build/default/plinkor_*.deb
    (cd build/default && cpack >/dev/null)
    if command -v lintian >/dev/null; then
      lintian --fail-on error,warning build/default/plinkor_*.deb
    else
      echo "NOT RUN: lintian is not installed (see the install step above)" >&2
    fi
  fi
done
