# Cross-compiling the 32-bit build (the shipped target). Its code cannot execute on the build
# machines, so there is no emulator: the build is only linked and checked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(NIMBO_TRIPLET i686-w64-mingw32)

set(CMAKE_C_COMPILER   ${NIMBO_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NIMBO_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${NIMBO_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${NIMBO_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
