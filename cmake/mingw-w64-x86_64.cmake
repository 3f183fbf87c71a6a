# Cross-builds for 64-bit Windows with Debian's mingw-w64 (POSIX threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARNWICK_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARNWICK_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARNWICK_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TARNWICK_MINGW}-windres)

# Libraries and packages come from the mingw tree and the prefixes given in
# CMAKE_PREFIX_PATH (the Windows Qt), never from the host.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${TARNWICK_MINGW} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test executables run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
