# Cross build for Windows (x86) with MinGW-w64.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PLINKOR_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
