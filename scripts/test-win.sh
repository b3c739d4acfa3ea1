#!/usr/bin/env bash
# The Windows build and its tests: installs the cross compilers and Wine,
# cross-builds the win32 preset (and win64 where 32-bit Wine cannot be had),
# then runs the Windows tests under Wine in a throwaway prefix, with a
# pseudo-terminal pair mapped as COM5 (the port) and COM6 (the board).
# Arguments go to ctest (e.g. -R MappedPort).
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

bash scripts/install-deps-win.sh
echo "=== install: $((SECONDS - started)) s"

# Without the cross compiler there is no Windows build at all: say so where
# nobody can miss it, and leave the rest of CI to its own result.
skip_all() {
  echo "!!! =================================================================="
  echo "!!! WINDOWS PART SKIPPED: $1"
  echo "!!! =================================================================="
  exit 0
}
command -v i686-w64-mingw32-g++-posix >/dev/null ||
  skip_all "the MinGW-w64 cross compiler (g++-mingw-w64-i686-posix) could not be installed"
[ -f /usr/src/googletest/CMakeLists.txt ] ||
  skip_all "the GoogleTest sources (googletest) could not be installed"

build() {
  echo "=== build: $1"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
}

build win32
# The 32-bit executables are checked even where they cannot be run.
for exe in build/win32/app/Plinkor.exe build/win32/tests/*.exe build/win32/tests/win/*.exe \
  build/win32/res/make_rc.exe; do
  cmake -DOBJDUMP=i686-w64-mingw32-objdump -DBINARY="$exe" -DFORMAT=pei-i386 \
    -P tests/win/check_imports.cmake
done

# The 32-bit program's resources, read back by a build of the check for this
# machine, so that they are checked whether or not 32-bit Wine is here.
if [ -f build/win32/app/Plinkor.exe ]; then
  echo "=== resources of build/win32/app/Plinkor.exe"
  g++ -std=c++20 -O1 -Wall -Wextra -Werror -DPLINKOR_UNDER_WINE=0 -DPLINKOR_RESOURCE_EXE='""' \
    -DPLINKOR_EXPECTED_MACHINE='"0x14C"' tests/win/resource_check_test.cpp \
    tests/win/pe_resources.cpp -lgtest -lgtest_main -pthread -o build/win32/resource_check_host
  PLINKOR_RESOURCE_EXE=build/win32/app/Plinkor.exe build/win32/resource_check_host --gtest_brief=1
  echo "=== the 32-bit ZIP"
  cmake -DCPACK=cpack -DBUILD="$PWD/build/win32" \
    -DRESOURCE_CHECK="$PWD/build/win32/resource_check_host" -P tests/win/check_zip.cmake
fi

if ! command -v wine >/dev/null || ! command -v Xvfb >/dev/null || ! command -v socat >/dev/null; then
  echo "!!! Wine tests skipped: wine, Xvfb or socat could not be installed (the builds were checked)"
  exit 0
fi
run_preset=win32
if [ ! -x /usr/lib/wine/wine ]; then
  echo "=== no 32-bit Wine (wine32:i386): the tests run on the x86-64 build under 64-bit Wine"
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || {
    echo "!!! Wine tests skipped: neither 32-bit Wine nor the x86-64 cross compiler could be installed"
    exit 0
  }
  run_preset=win64
  build win64
fi
echo "=== build done: $((SECONDS - started)) s"

source scripts/wine-prefix.sh
wine_prefix_up
# Two linked pseudo-terminals: what one end is sent, the other reads.
socat pty,raw,echo=0,link="$WINE_ROOT/com5" pty,raw,echo=0,link="$WINE_ROOT/com6" \
  >"$WINE_ROOT/socat.log" 2>&1 &
WINE_HELPER_PIDS="$!"
for _ in $(seq 50); do
  [ -e "$WINE_ROOT/com5" ] && [ -e "$WINE_ROOT/com6" ] && break
  sleep 0.1
done
wine_map_com 5 "$WINE_ROOT/com5"
wine_map_com 6 "$WINE_ROOT/com6"
export PLINKOR_TEST_COM=5 PLINKOR_TEST_BOARD_COM=6

echo "=== test: $run_preset (under $(wine --version 2>/dev/null))"
status=0
ctest --preset "$run_preset" "$@" || status=$?
wine_prefix_down
echo "=== Windows part: $((SECONDS - started)) s"
exit "$status"
