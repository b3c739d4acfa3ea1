# What both MinGW-w64 toolchains share; each sets PLINKOR_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first. The posix thread model (the win32 model has
# no std::thread or std::mutex), linked statically, so that the executables
# need only the system's own DLLs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${PLINKOR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PLINKOR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PLINKOR_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${PLINKOR_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${PLINKOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests run through Wine, each with the loader of its own machine type, and
# once more when Wine failed before the program started; the harness sets up
# the prefix and the display.
get_filename_component(plinkor_wine_run ${CMAKE_CURRENT_LIST_DIR}/../tests/win/wine_run.sh ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR bash ${plinkor_wine_run})
