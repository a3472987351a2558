# Cross-compiling the 32-bit build (the shipped target). The machines run no 32-bit code
# natively: its tests (the 32-bit lane) run under the i386 Wine that scripts/setup-wine32.sh
# installs, through a launcher that cmake/NimboLane.cmake writes into the build folder.
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
