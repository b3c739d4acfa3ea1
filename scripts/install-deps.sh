#!/usr/bin/env bash
# Installs everything needed to build, run and test Plinkor on Debian 12.
# Idempotent: a second run installs nothing new.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  socat util-linux iproute2 procps
  qt6-base-dev libgl-dev fonts-arphic-uming xvfb xauth x11-utils imagemagick
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -o DPkg::Lock::Timeout=600 "${missing[@]}"
fi
