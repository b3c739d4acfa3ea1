# Cross build for Windows (AMD64) with MinGW-w64: where 32-bit Wine is missing,
# the Wine tests run on this build.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(PLINKOR_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
