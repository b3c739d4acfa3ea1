#!/usr/bin/env bash
# The Windows build and its tests: installs the cross compilers and Wine,
# cross-builds the win32 preset and runs the Windows tests on it under 32-bit
# Wine (scripts/wine-suite.sh). Where this machine cannot have 32-bit Wine, that
# runs in a Debian 12 root that has it (scripts/wine32-root.sh, made once and
# reused), and the win64 preset also runs under this machine's 64-bit Wine.
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

# run_suite PRESET WHERE COMMAND…: one Wine suite, its result kept for the end.
results=()
run_suite() {
  local preset=$1 where=$2 bits=64 begun=$SECONDS outcome=passed
  shift 2
  [ "$preset" = win32 ] && bits=32
  "$@" || outcome=FAILED
  results+=("$preset (the $bits-bit build) under $bits-bit Wine, $where: $outcome ($((SECONDS - begun)) s)")
}

# This machine's Debian cannot install 32-bit Wine: a Debian 12 root that has
# it is made (or reused) while the builds run, for the 32-bit build's tests.
# Where the kernel runs no 32-bit programs at all, the root's qemu-i386 runs
# them, in a user namespace of the root's own.
root_pid=
no_32bit=
emulated=
if ! bash scripts/wine32-root.sh check; then
  if bash scripts/wine32-root.sh emulable; then
    emulated=", its 32-bit code emulated by qemu-i386 (this kernel runs no 32-bit x86 programs)"
    echo "=== this kernel runs no 32-bit x86 programs (IA-32 emulation is off): the 32-bit build's tests run under qemu-i386"
  else
    no_32bit="this kernel runs no 32-bit x86 programs (IA-32 emulation is off; booting with ia32_emulation=on would allow them) and cannot hand them to an emulator in a user namespace (Linux 6.7 and later), so no 32-bit Wine can run here"
  fi
fi
if [ -z "$no_32bit" ] && { [ -n "$emulated" ] || [ ! -x /usr/lib/wine/wine ]; }; then
  if [ "$(id -u)" -ne 0 ] || ! command -v debootstrap >/dev/null || ! command -v unshare >/dev/null; then
    no_32bit="no 32-bit Wine here, and a root with it needs root, debootstrap and unshare"
  else
    echo "=== no 32-bit Wine (wine32:i386) here: making or reusing a Debian 12 root with it"
    mkdir -p build
    root_log=build/wine32-root.log
    bash scripts/wine32-root.sh make >"$root_log" 2>&1 &
    root_pid=$!
  fi
fi

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
    -DPLINKOR_EXPECTED_MACHINE='"0x14C"' -Ibuild/win32/res/include tests/win/resource_check_test.cpp \
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
# Where this machine has no 32-bit Wine, the 64-bit build runs under its
# 64-bit Wine, and the 32-bit one in the root (made alongside the builds).
if [ -x /usr/lib/wine/wine ] && [ -z "$no_32bit" ] && [ -z "$emulated" ]; then
  run_suite win32 "this machine's Wine" bash scripts/wine-suite.sh win32 "this machine's Wine" "$@"
else
  if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    build win64
    echo "=== build done: $((SECONDS - started)) s"
    run_suite win64 "this machine's Wine" bash scripts/wine-suite.sh win64 "this machine's Wine" "$@"
  else
    echo "!!! the x86-64 cross compiler could not be installed: no 64-bit build under 64-bit Wine"
  fi
  if [ -n "$root_pid" ]; then
    root_status=0
    wait "$root_pid" || root_status=$?
    sed 's/^/    /' "$root_log"
    if ((root_status == 0)); then
      where="in the Debian 12 root $(bash scripts/wine32-root.sh where)$emulated"
      run_suite win32 "$where" bash scripts/wine32-root.sh run bash scripts/wine-suite.sh win32 "$where" "$@"
    else
      no_32bit="the root with 32-bit Wine could not be made ($root_log)"
    fi
  fi
fi
if [ -n "$no_32bit" ]; then
  results+=("win32 (the 32-bit build) NOT RUN under Wine: $no_32bit")
  echo "!!! =================================================================="
  echo "!!! THE 32-BIT BUILD DID NOT RUN UNDER WINE: $no_32bit"
  echo "!!! =================================================================="
fi

status=0
for line in "${results[@]}"; do
  echo "=== $line"
  case "$line" in *FAILED*) status=1 ;; esac
done
echo "=== Windows part: $((SECONDS - started)) s"
exit "$status"
