#!/usr/bin/env bash
# Installs everything needed to build, run and test Plinkor on Debian 12.
# Idempotent: a second run installs nothing new.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  socat util-linux iproute2 procps
  qt6-base-dev libgl-dev fonts-arphic-uming xvfb xauth x11-utils imagemagick
  chromium nodejs
  lintian
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
# `apt-get update` fails as a whole when a single index does (an i386 index
# stuck mid-sync, say): try a few times, then go on with the lists we have.
if ((${#missing[@]})); then
  for try in 1 2 3; do
    "${sudo_cmd[@]}" apt-get update && break
    echo "apt-get update failed (try $try of 3)" >&2
    sleep 5
  done
  install() {
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -o DPkg::Lock::Timeout=600 "$@"
  }
  for try in 1 2 3; do
    install "${missing[@]}" && break
    if [ "$try" -eq 3 ]; then
      # One package the registry cannot give must not cost the others: take
      # what installs, and say what did not.
      skipped=()
      for p in "${missing[@]}"; do install "$p" || skipped+=("$p"); done
      ((${#skipped[@]} == 0)) || echo "NOT INSTALLED (the registry failed): ${skipped[*]}" >&2
      break
    fi
    sleep 10
  done
fi

# Node's own package manager comes with some builds of nodejs; Debian's is a
# package of its own.
if ! command -v npm >/dev/null; then
  "${sudo_cmd[@]}" apt-get install -y -o DPkg::Lock::Timeout=600 npm
fi

# The browser tests' driver, exactly as locked; Chromium itself is Debian's.
browser=tests/browser
cd "$(dirname "$0")/.."
if ! cmp -s "$browser/package-lock.json" "$browser/node_modules/.plinkor-lock" 2>/dev/null; then
  (cd "$browser" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund)
  cp "$browser/package-lock.json" "$browser/node_modules/.plinkor-lock"
fi
