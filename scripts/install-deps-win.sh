#!/usr/bin/env bash
# Installs what the Windows build and its Wine tests need on Debian 12: the
# MinGW-w64 cross compilers (posix thread model), Wine (32-bit where it can be
# had), Xvfb and a CJK font. Idempotent. A package that cannot be installed is
# skipped and named at the end: without wine32:i386 the Wine tests fall back to
# the x86-64 build under 64-bit Wine, and the 32-bit build is still made.
set -uo pipefail

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
apt_get() {
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 "$@"
}
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

packages=(
  cmake ninja-build googletest libgtest-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
  wine wine64 wine32:i386 xvfb xauth fonts-arphic-uming socat
  iproute2 util-linux  # the program's Wine test: a network namespace with lo up
  debootstrap  # where wine32:i386 is not to be had: a Debian root that has it (wine32-root.sh)
)

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if ((${#missing[@]} == 0)); then
  exit 0
fi
# Only 32-bit Wine missing, as where its i386 dependencies lag behind the
# amd64 ones: one quick try on the package lists at hand, no update round.
if [ "${missing[*]}" = "wine32:i386" ]; then
  apt_get install -y wine32:i386 >/dev/null 2>&1 ||
    echo "install-deps-win: skipped (not installable here): wine32:i386" >&2
  exit 0
fi

dpkg --print-foreign-architectures | grep -qx i386 || "${sudo_cmd[@]}" dpkg --add-architecture i386

# One index that fails (a mirror caught mid-sync) makes apt-get update exit
# non-zero while the others were fetched; a few tries, then go on with what came.
for attempt in 1 2 3; do
  apt_get update && break
  echo "install-deps-win: apt-get update failed (try $attempt), retrying" >&2
  sleep 5
done

# All at once is fastest; when that fails, one at a time so that one missing
# package does not keep the others out.
skipped=()
if ! apt_get install -y "${missing[@]}"; then
  for p in "${missing[@]}"; do
    installed "$p" && continue
    ok=0
    for attempt in 1 2 3; do
      if apt_get install -y "$p"; then ok=1; break; fi
      sleep 5
    done
    ((ok)) || skipped+=("$p")
  done
fi

if ((${#skipped[@]})); then
  echo "install-deps-win: skipped (not installable here): ${skipped[*]}" >&2
fi
exit 0
