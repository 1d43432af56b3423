# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix):
# the posix flavour is the one whose C++ runtime has the standard thread library.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(WAKELET_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${WAKELET_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${WAKELET_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${WAKELET_MINGW_TRIPLET}-windres)

# Headers and libraries from the MinGW tree only; programs (python3, the emulator) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${WAKELET_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
